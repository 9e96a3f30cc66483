// The host side of lumo-pack: files read through descriptors, and output written to a
// temporary file beside its final name that only a complete, flushed file leaves.
#pragma once

#include <sys/stat.h>

#include <cstdint>
#include <string>

#include "unpack/core/container.h"

namespace lumopack {

// The reason for an errno value ("No such file or directory"), or for kNotRegular.
constexpr int kNotRegular = -1;  // a FIFO, a device, a socket: nothing to read as a file
std::string Reason(int error);

// An open file descriptor, closed when the owner goes.
class UniqueFd {
 public:
  UniqueFd() = default;
  explicit UniqueFd(int fd) : fd_(fd) {}
  UniqueFd(UniqueFd&& other) noexcept : fd_(other.release()) {}
  UniqueFd& operator=(UniqueFd&& other) noexcept;
  UniqueFd(const UniqueFd&) = delete;
  UniqueFd& operator=(const UniqueFd&) = delete;
  ~UniqueFd();
  int get() const { return fd_; }
  int release();
  explicit operator bool() const { return fd_ >= 0; }

 private:
  int fd_ = -1;
};

// A regular file opened for reading, with its status. `error` is the errno of the failure
// (EISDIR for a folder, kNotRegular for anything else that is not a regular file).
struct InputFile {
  UniqueFd fd;
  struct stat status {};
  int error = 0;
};
InputFile OpenInput(const std::string& path);

// Reads a file through its descriptor; remembers the errno of the first failed read.
class FdSource : public lumo::ByteSource {
 public:
  FdSource(int fd, uint64_t length) : fd_(fd), length_(length) {}
  uint64_t Length() const override { return length_; }
  std::size_t ReadAt(uint64_t offset, void* buffer, std::size_t size) override;
  int error() const { return error_; }

 private:
  int fd_;
  uint64_t length_;
  int error_ = 0;
};

// A file being written under a unique temporary name in a folder (created with O_EXCL),
// renamed to its final name by Commit. It is removed when it goes uncommitted, and also
// when the process is ended by SIGINT, SIGTERM or SIGHUP meanwhile (one at a time).
class TempFile {
 public:
  TempFile() = default;
  ~TempFile();
  TempFile(const TempFile&) = delete;
  TempFile& operator=(const TempFile&) = delete;

  // Creates ".NAME.XXXXXX" in the folder `dir` (a descriptor the caller keeps open) with
  // the permission bits `mode`; false with errno set when it cannot.
  bool Create(int dir, const std::string& name, mode_t mode);
  int fd() const { return fd_.get(); }
  // Writes all of `size` bytes at the current position; false with errno set.
  bool Write(const void* data, std::size_t size);
  // Flushes the data to disk and renames the file to `name` in its folder, over an
  // existing file only when `replace`. False with errno set (EEXIST when not replacing).
  bool Commit(const std::string& name, bool replace);
  // Removes the file (when not committed).
  void Discard();

 private:
  int dir_ = -1;
  std::string temp_;
  UniqueFd fd_;
};

// The folder part of a path ("." for a bare name) and its last component.
std::string FolderOf(const std::string& path);
std::string BaseName(const std::string& path);

}  // namespace lumopack
