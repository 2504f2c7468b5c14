// The exported Kelto family: C linkage over the core. Nothing here may throw.
#include "kelto.h"
#include "table/access.h"
#include "table/library.h"

extern "C" {

int32_t KeltoOpen(void) {
  kelto::TheLibrary().Open();
  return 0;
}

int32_t KeltoClose(void) {
  kelto::TheLibrary().Close();
  return 0;
}

int32_t KeltoWriteVar(int32_t ident, const char* source) { return kelto::WriteVar(ident, source); }
int32_t KeltoReadVar(int32_t ident, char* destination) {
  return kelto::ReadVar(ident, destination);
}
char KeltoGetTypeVar(int32_t ident) { return kelto::GetTypeVar(ident); }
int32_t KeltoGetSizeVar(int32_t ident) { return kelto::GetSizeVar(ident); }
int32_t KeltoReadNameVar(int32_t ident, char* destination) {
  return kelto::ReadNameVar(ident, destination);
}

int32_t KeltoGetIdentVarName(const char* name) { return kelto::GetIdentVarName(name); }
char KeltoGetTypeVarName(const char* name) { return kelto::GetTypeVarName(name); }
int32_t KeltoGetSizeVarName(const char* name) { return kelto::GetSizeVarName(name); }
int32_t KeltoWriteVarName(const char* name, const char* source) {
  return kelto::WriteVarName(name, source);
}
int32_t KeltoReadVarName(const char* name, char* destination) {
  return kelto::ReadVarName(name, destination);
}

char KeltoReadByte(const char* name) { return kelto::ReadByte(name); }
int32_t KeltoReadInt32(const char* name) { return kelto::ReadInt32(name); }
double KeltoReadDouble(const char* name) { return kelto::ReadDouble(name); }
int32_t KeltoReadString(const char* name, char* destination) {
  return kelto::ReadString(name, destination);
}
int32_t KeltoWriteByte(const char* name, char value) { return kelto::WriteByte(name, value); }
int32_t KeltoWriteInt32(const char* name, int32_t value) { return kelto::WriteInt32(name, value); }
int32_t KeltoWriteDouble(const char* name, double value) { return kelto::WriteDouble(name, value); }
int32_t KeltoWriteString(const char* name, const char* text) {
  return kelto::WriteString(name, text);
}

void* KeltoGetPointer(void) { return kelto::TheLibrary().View(); }
uint32_t KeltoGetNumberOfItems(void) { return kelto::TheLibrary().ItemCount(); }
uint32_t KeltoGetItemSize(void) { return KELTO_ITEM_SIZE; }

}  // extern "C"
