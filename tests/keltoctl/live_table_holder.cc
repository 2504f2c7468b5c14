#include "keltoctl/live_table_holder.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <stdexcept>

#include "kelto.h"

namespace kelto::testing {

LiveTableHolder::LiveTableHolder(const std::function<void()>& initialise) {
  child_ = std::make_unique<ChildProcess>([&] {
    KeltoOpen();
    if (KeltoGetPointer() == nullptr) return 1;
    initialise();
    opened_.Notify();
    release_.Wait(60000);
    KeltoClose();
    return 0;
  });
  ready_ = opened_.Wait(20000);
}

LiveTableHolder::~LiveTableHolder() {
  if (child_) Close();
}

int LiveTableHolder::Close() {
  release_.Notify();
  const int status = child_->Wait();
  child_.reset();
  return status;
}

void LiveTableHolder::Kill() {
  child_->Kill(SIGKILL);
  child_->Wait();
  child_.reset();
}

std::string ValueFieldSeenByLibrary(const std::string& name) {
  int fds[2];
  if (pipe2(fds, O_CLOEXEC) != 0) throw std::runtime_error("pipe failed");
  ChildProcess reader([&] {
    close(fds[0]);
    KeltoOpen();
    const int32_t ident = KeltoGetIdentVarName(name.c_str());
    auto* items = static_cast<KeltoVarItem*>(KeltoGetPointer());
    if (ident < 0 || items == nullptr) return 1;
    const bool written = write(fds[1], items[ident].value, KELTO_VALUE_SIZE) == KELTO_VALUE_SIZE;
    KeltoClose();
    return written ? 0 : 1;
  });
  close(fds[1]);
  std::string field;
  char buffer[KELTO_VALUE_SIZE];
  for (;;) {
    struct pollfd waiting = {fds[0], POLLIN, 0};
    if (poll(&waiting, 1, 20000) != 1) break;
    const ssize_t count = read(fds[0], buffer, sizeof buffer);
    if (count <= 0) break;
    field.append(buffer, static_cast<size_t>(count));
  }
  close(fds[0]);
  if (reader.Wait() != 0) return {};
  return field;
}

}  // namespace kelto::testing
