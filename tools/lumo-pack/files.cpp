#include "files.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/random.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>

namespace lumopack {

namespace {

// The temporary file of this process, for the signal handler: armed only while it exists.
volatile sig_atomic_t g_armed = 0;
int g_armedDir = -1;
char g_armedName[256];

void RemoveTempAndDie(int signal) {
  if (g_armed) ::unlinkat(g_armedDir, g_armedName, 0);
  ::signal(signal, SIG_DFL);
  ::raise(signal);
}

// Catches the signals that end a packing from outside, once per process. A signal the
// caller chose to ignore (a background job, nohup) stays ignored.
void CatchEndingSignals() {
  static bool installed = false;
  if (installed) return;
  installed = true;
  for (int signal : {SIGINT, SIGTERM, SIGHUP}) {
    struct sigaction old {};
    if (::sigaction(signal, nullptr, &old) == 0 && old.sa_handler == SIG_IGN) continue;
    struct sigaction action {};
    action.sa_handler = RemoveTempAndDie;
    sigemptyset(&action.sa_mask);
    ::sigaction(signal, &action, nullptr);
  }
}

std::string RandomSuffix() {
  static const char kLetters[] = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
  unsigned char bytes[8] = {};
  if (::getrandom(bytes, sizeof bytes, 0) != static_cast<ssize_t>(sizeof bytes)) {
    const unsigned long mix = static_cast<unsigned long>(::getpid()) * 2654435761u ^ static_cast<unsigned long>(::time(nullptr));
    std::memcpy(bytes, &mix, std::min(sizeof mix, sizeof bytes));
  }
  std::string suffix;
  for (unsigned char b : bytes) suffix.push_back(kLetters[b % (sizeof kLetters - 1)]);
  return suffix;
}

}  // namespace

std::string Reason(int error) { return error == kNotRegular ? "not a regular file" : std::strerror(error); }

UniqueFd& UniqueFd::operator=(UniqueFd&& other) noexcept {
  if (this != &other) {
    if (fd_ >= 0) ::close(fd_);
    fd_ = other.release();
  }
  return *this;
}

UniqueFd::~UniqueFd() {
  if (fd_ >= 0) ::close(fd_);
}

int UniqueFd::release() {
  const int fd = fd_;
  fd_ = -1;
  return fd;
}

InputFile OpenInput(const std::string& path) {
  InputFile input;
  // O_NONBLOCK: opening a FIFO must not wait for a writer; it is refused below anyway.
  input.fd = UniqueFd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
  if (!input.fd) {
    input.error = errno;
    return input;
  }
  if (::fstat(input.fd.get(), &input.status) != 0) {
    input.error = errno;
  } else if (S_ISDIR(input.status.st_mode)) {
    input.error = EISDIR;
  } else if (!S_ISREG(input.status.st_mode)) {
    input.error = kNotRegular;
  }
  if (input.error != 0) input.fd = UniqueFd();
  return input;
}

std::size_t FdSource::ReadAt(uint64_t offset, void* buffer, std::size_t size) {
  if (offset >= length_) return 0;
  std::size_t done = 0;
  while (done < size) {
    const ssize_t got = ::pread(fd_, static_cast<char*>(buffer) + done, size - done, static_cast<off_t>(offset + done));
    if (got < 0 && errno == EINTR) continue;
    if (got < 0 && error_ == 0) error_ = errno;
    if (got <= 0) break;
    done += static_cast<std::size_t>(got);
  }
  return done;
}

TempFile::~TempFile() { Discard(); }

bool TempFile::Create(int dir, const std::string& name, mode_t mode) {
  CatchEndingSignals();
  // Room for the suffix within a file name's 255 bytes.
  const std::string stem = "." + name.substr(0, 200) + ".lumo-pack-";
  for (int attempt = 0; attempt < 100; ++attempt) {
    const std::string temp = stem + RandomSuffix();
    const int fd = ::openat(dir, temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd < 0) {
      if (errno == EEXIST) continue;
      return false;
    }
    // Armed only once the file is ours: the name must never be another's file.
    std::snprintf(g_armedName, sizeof g_armedName, "%s", temp.c_str());
    g_armedDir = dir;
    g_armed = 1;
    fd_ = UniqueFd(fd);
    dir_ = dir;
    temp_ = temp;
    if (::fchmod(fd, mode) != 0) {
      const int error = errno;
      Discard();
      errno = error;
      return false;
    }
    return true;
  }
  errno = EEXIST;
  return false;
}

bool TempFile::Write(const void* data, std::size_t size) {
  const char* at = static_cast<const char*>(data);
  while (size > 0) {
    const ssize_t wrote = ::write(fd_.get(), at, size);
    if (wrote < 0 && errno == EINTR) continue;
    if (wrote <= 0) {
      if (wrote == 0) errno = EIO;
      return false;
    }
    at += wrote;
    size -= static_cast<std::size_t>(wrote);
  }
  return true;
}

bool TempFile::Commit(const std::string& name, bool replace) {
  if (::fsync(fd_.get()) != 0) return false;
  int result = replace ? ::renameat(dir_, temp_.c_str(), dir_, name.c_str())
                       : ::renameat2(dir_, temp_.c_str(), dir_, name.c_str(), RENAME_NOREPLACE);
  if (result != 0 && !replace && (errno == EINVAL || errno == ENOSYS)) {
    // A file system without the no-replace rename: a hard link never replaces either.
    result = ::linkat(dir_, temp_.c_str(), dir_, name.c_str(), 0);
    if (result == 0) ::unlinkat(dir_, temp_.c_str(), 0);
  }
  if (result != 0) return false;
  g_armed = 0;
  temp_.clear();
  fd_ = UniqueFd();
  ::fsync(dir_);  // best effort: the new name on disk too
  return true;
}

void TempFile::Discard() {
  if (temp_.empty()) return;
  g_armed = 0;
  ::unlinkat(dir_, temp_.c_str(), 0);
  temp_.clear();
  fd_ = UniqueFd();
}

std::string FolderOf(const std::string& path) {
  std::string folder = path;
  while (folder.size() > 1 && folder.back() == '/') folder.pop_back();
  const std::size_t slash = folder.rfind('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return folder.substr(0, slash);
}

std::string BaseName(const std::string& path) {
  std::string name = path;
  while (name.size() > 1 && name.back() == '/') name.pop_back();
  const std::size_t slash = name.rfind('/');
  return slash == std::string::npos ? name : name.substr(slash + 1);
}

}  // namespace lumopack
