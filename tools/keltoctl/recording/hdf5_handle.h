// Owned HDF5 identifiers: each is closed by the function that fits its kind
// when it goes out of scope, so that an error path leaks nothing.
#ifndef KELTOCTL_RECORDING_HDF5_HANDLE_H_
#define KELTOCTL_RECORDING_HDF5_HANDLE_H_

#include <hdf5.h>

#include <utility>

namespace keltoctl {

class Hdf5Handle {
 public:
  using Closer = herr_t (*)(hid_t);

  Hdf5Handle() = default;
  Hdf5Handle(hid_t id, Closer closer) : id_(id), closer_(closer) {}
  ~Hdf5Handle() { Close(); }
  Hdf5Handle(Hdf5Handle&& other) noexcept
      : id_(std::exchange(other.id_, H5I_INVALID_HID)), closer_(other.closer_) {}
  Hdf5Handle& operator=(Hdf5Handle&& other) noexcept {
    if (this != &other) {
      Close();
      id_ = std::exchange(other.id_, H5I_INVALID_HID);
      closer_ = other.closer_;
    }
    return *this;
  }
  Hdf5Handle(const Hdf5Handle&) = delete;
  Hdf5Handle& operator=(const Hdf5Handle&) = delete;

  hid_t get() const { return id_; }
  bool valid() const { return id_ >= 0; }

  // Closes now; false when HDF5 reported a failure (an unwritten cache).
  bool Close() {
    if (id_ < 0) return true;
    const herr_t closed = closer_(std::exchange(id_, H5I_INVALID_HID));
    return closed >= 0;
  }

 private:
  hid_t id_ = H5I_INVALID_HID;
  Closer closer_ = nullptr;
};

}  // namespace keltoctl

#endif  // KELTOCTL_RECORDING_HDF5_HANDLE_H_
