// Births are read event by event, never built into a document: a birth of
// 1 MiB made of empty objects would take nearly 30 MB as one, and anyone
// who may publish under an imported node can send such a birth.
#include <nlohmann/json.hpp>

#include "bridge/payloads.h"
#include "live/json_lone_bytes.h"

namespace kelto::bridge {
namespace {

using Json = nlohmann::json;

// Depths: 1 the birth object, 2 its "variables" array, 3 one entry.
class BirthReader : public nlohmann::json_sax<Json> {
 public:
  explicit BirthReader(ReceivedBirth* birth) : birth_(birth) {}

  bool complete() const { return has_variables_ && run_ok_; }

  bool null() override { return Scalar(); }
  bool boolean(bool) override { return Scalar(); }
  bool number_integer(number_integer_t) override { return Scalar(); }
  bool number_unsigned(number_unsigned_t) override { return Scalar(); }
  bool number_float(number_float_t, const string_t&) override { return Scalar(); }
  bool binary(binary_t&) override { return Scalar(); }
  bool string(string_t& value) override {
    if (depth_ == 1 && key_ == "run") {
      birth_->run = value;
      run_ok_ = true;
    } else if (depth_ == 3 && entry_key_ == "topic") {
      topic_ = value;
    } else if (depth_ == 3 && entry_key_ == "type") {
      // Anything but one byte is no type letter; a stand-in that matches no
      // letter will do.
      const std::string letter = kelto::live::BytesFromMarked(value);
      type_ = letter.size() == 1 ? letter[0] : '\x7f';
    }
    return Scalar();
  }
  bool start_object(std::size_t) override {
    if (depth_ == 0) {
      top_is_object_ = true;
    } else if (depth_ == 2 && in_variables_) {
      topic_.reset();
      type_.reset();
      entry_key_.clear();
    }
    ++depth_;
    return true;
  }
  bool end_object() override {
    --depth_;
    if (depth_ == 2 && in_variables_ && topic_ && type_) birth_->types[*topic_] = *type_;
    return true;
  }
  bool start_array(std::size_t) override {
    if (depth_ == 0) return false;  // a birth is an object
    if (depth_ == 1 && key_ == "variables") {
      in_variables_ = true;
      has_variables_ = true;
    }
    ++depth_;
    return true;
  }
  bool end_array() override {
    --depth_;
    if (depth_ == 1) in_variables_ = false;
    return true;
  }
  bool key(string_t& name) override {
    if (depth_ == 1) {
      key_ = name;
      // "run" must be a string; a member that is not stays unset.
      if (name == "run") run_ok_ = false;
    } else if (depth_ == 3) {
      entry_key_ = name;
    }
    return true;
  }
  bool parse_error(std::size_t, const std::string&, const nlohmann::detail::exception&) override {
    return false;
  }

 private:
  bool Scalar() { return depth_ > 0 && top_is_object_; }

  ReceivedBirth* birth_;
  int depth_ = 0;
  bool top_is_object_ = false;
  bool in_variables_ = false;
  bool has_variables_ = false;
  bool run_ok_ = true;
  std::string key_;
  std::string entry_key_;
  std::optional<std::string> topic_;
  std::optional<char> type_;
};

}  // namespace

std::optional<ReceivedBirth> ParseBirth(std::string_view payload) {
  if (payload.size() > kMaxBirthBytes) return std::nullopt;
  ReceivedBirth birth;
  BirthReader reader(&birth);
  // A name holding a byte outside UTF-8 comes as a lone surrogate, which the
  // JSON reader refuses unless it is marked first.
  const std::string marked = kelto::live::MarkLoneBytes(payload);
  if (!Json::sax_parse(marked.begin(), marked.end(), &reader) || !reader.complete()) {
    return std::nullopt;
  }
  return birth;
}

}  // namespace kelto::bridge
