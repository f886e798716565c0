// pellavine_run: the library's main job, as a host runs it. Loads
// libqel_pellavine.so at run time, binds one batch of 32 images of 32 x 32 x 3
// (from a .npy file, or a fixed synthetic batch), plans memory, predicts, writes
// the 32 x 16 x 16 x 1 output as .npy and prints a summary and the time per
// batch.
//
//   pellavine_run [--library PATH] [--input BATCH.npy] [--output OUT.npy] [--runs N]
#include <dlfcn.h>
#include <fcntl.h>
#include <limits.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cinttypes>
#include <cmath>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

namespace {

constexpr int64_t kInputShape[4] = {32, 32, 32, 3};
constexpr int64_t kOutputShape[4] = {32, 16, 16, 1};
constexpr size_t kInputCount = 32 * 32 * 32 * 3;
constexpr size_t kOutputCount = 32 * 16 * 16 * 1;

struct Options {
  std::string library;
  std::string input;
  std::string output;  // default: pellavine_output.npy next to this program
  int runs = 10;
};

void print_usage(std::FILE* to, const char* argv0) {
  std::fprintf(to,
               "usage: %s [--library PATH] [--input BATCH.npy] [--output OUT.npy] [--runs N]\n"
               "  --library  the library to load, a path (a name without a slash is a file in the\n"
               "             current folder, never looked up on the system's library path; default:\n"
               "             libqel_pellavine.so next to this program)\n"
               "  --input    a float32 .npy of shape (32, 32, 32, 3); default: a fixed synthetic batch.\n"
               "             /dev/stdin may be one socket with the output (as inetd starts a program)\n"
               "  --output   where to write the (32, 16, 16, 1) float32 output\n"
               "             (default: pellavine_output.npy next to this program). An existing\n"
               "             file is replaced by a new one, and kept as it was if the job fails\n"
               "             or is interrupted (SIGINT, SIGTERM, SIGHUP, SIGQUIT); what cannot be\n"
               "             written (a folder, a socket file, /dev/tty without a terminal,\n"
               "             another user's file in a folder with the sticky bit) is refused\n"
               "             before any work. /dev/stdout, /dev/stderr, /dev/fd/N and\n"
               "             /proc/self/fd/N name the open descriptor, which is written as it is\n"
               "             (a file opened for appending is appended to, a descriptor set\n"
               "             non-blocking waited for), and so is any other name of the file or\n"
               "             pipe that standard output or standard error writes to (`--output\n"
               "             log >> log`); the summary then goes to standard error if the output\n"
               "             is standard output\n"
               "  --runs     timed predictions after planning (default: 10)\n"
               "exit status:\n"
               "  0  success\n"
               "  2  an error of this program (options, input, output file): no output written\n"
               "     (to a descriptor, part of it may have been); or the summary could not be\n"
               "     written (the output was written)\n"
               "  1  the library failed: it ended the process with its failure report, or a call\n"
               "     into it failed (no output written); or its runs after planning differ from\n"
               "     the planning run (output written)\n",
               argv0);
}

// Flushes a stream of the report: empty if all that was written to it arrived,
// else why not (a full device, a closed descriptor).
std::string lost_writes(std::FILE* stream) {
  if (std::fflush(stream) != 0) return std::strerror(errno);
  return std::ferror(stream) ? "a write to it failed" : "";
}

[[noreturn]] void usage(const char* argv0, const std::string& problem) {
  std::fprintf(stderr, "%s: %s\n", argv0, problem.c_str());
  print_usage(stderr, argv0);
  std::exit(2);
}

Options parse(int argc, char** argv) {
  Options o;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "-h" || arg == "--help") {
      print_usage(stdout, argv[0]);
      const std::string lost = lost_writes(stdout);
      if (lost.empty()) std::exit(0);
      std::fprintf(stderr, "%s: cannot write the usage to standard output: %s\n", argv[0], lost.c_str());
      std::exit(2);
    }
    if (arg != "--library" && arg != "--input" && arg != "--output" && arg != "--runs")
      usage(argv[0], "unknown option " + arg);
    if (i + 1 >= argc) usage(argv[0], "missing value after " + arg);
    const std::string value = argv[++i];
    if (arg == "--library" || arg == "--input" || arg == "--output") {
      if (value.empty()) usage(argv[0], arg + " needs a file name");
      (arg == "--library" ? o.library : arg == "--input" ? o.input : o.output) = value;
    } else if (arg == "--runs") {
      char* end = nullptr;
      const long n = std::strtol(value.c_str(), &end, 10);
      if (end == value.c_str() || *end != '\0' || n < 1 || n > 100000) usage(argv[0], "--runs takes 1 to 100000");
      o.runs = static_cast<int>(n);
    }
  }
  return o;
}

// The folder of this program, for the default library path.
std::string program_folder() {
  std::vector<char> buf(4096);
  const ssize_t n = readlink("/proc/self/exe", buf.data(), buf.size() - 1);
  if (n <= 0) return ".";
  std::string path(buf.data(), static_cast<size_t>(n));
  const size_t slash = path.rfind('/');
  return slash == std::string::npos ? "." : path.substr(0, slash);
}

// ---------------------------------------------------------------------------
// .npy files: little-endian float32, C order.

std::string shape_text(const int64_t (&shape)[4]) {
  std::ostringstream os;
  os << "(" << shape[0] << ", " << shape[1] << ", " << shape[2] << ", " << shape[3] << ")";
  return os.str();
}

// The header of a .npy file: a Python dictionary literal with exactly the keys
// 'descr' (a string), 'fortran_order' (True or False) and 'shape' (a tuple of
// integers), in any order, followed by spaces and a newline.
struct NpyHeader {
  std::string descr;
  bool fortran_order = false;
  std::vector<int64_t> shape;
};

class HeaderParser {
 public:
  explicit HeaderParser(const std::string& text) : s_(text) {}

  NpyHeader parse() {
    NpyHeader h;
    bool descr = false, order = false, shape = false;
    expect('{');
    while (!accept('}')) {
      const std::string key = string();
      expect(':');
      if (key == "descr" && !descr) {
        h.descr = string();
        descr = true;
      } else if (key == "fortran_order" && !order) {
        h.fortran_order = boolean();
        order = true;
      } else if (key == "shape" && !shape) {
        h.shape = tuple();
        shape = true;
      } else {
        fail("unexpected or repeated key '" + key + "'");
      }
      if (!accept(',')) {
        expect('}');
        break;
      }
    }
    skip();
    if (pos_ < s_.size() && s_[pos_] == '\n') ++pos_;
    if (pos_ != s_.size()) fail("text after the dictionary");
    if (!descr || !order || !shape) fail("'descr', 'fortran_order' and 'shape' are required");
    return h;
  }

 private:
  [[noreturn]] void fail(const std::string& what) const {
    throw std::runtime_error("malformed .npy header (" + what + ")");
  }
  void skip() {
    while (pos_ < s_.size() && s_[pos_] == ' ') ++pos_;
  }
  bool accept(char c) {
    skip();
    if (pos_ >= s_.size() || s_[pos_] != c) return false;
    ++pos_;
    return true;
  }
  void expect(char c) {
    if (!accept(c)) fail(std::string("expected '") + c + "' at byte " + std::to_string(pos_));
  }
  std::string string() {
    skip();
    const char quote = pos_ < s_.size() ? s_[pos_] : '\0';
    if (quote != '\'' && quote != '"') fail("expected a string at byte " + std::to_string(pos_));
    const size_t end = s_.find(quote, pos_ + 1);
    if (end == std::string::npos) fail("unterminated string");
    std::string v = s_.substr(pos_ + 1, end - pos_ - 1);
    if (v.find('\\') != std::string::npos) fail("escapes in strings are not supported");
    pos_ = end + 1;
    return v;
  }
  bool boolean() {
    skip();
    for (const bool b : {true, false}) {
      const std::string word = b ? "True" : "False";
      if (s_.compare(pos_, word.size(), word) == 0) {
        pos_ += word.size();
        return b;
      }
    }
    fail("'fortran_order' is neither True nor False");
  }
  // Integers separated by commas, one allowed after the last: "(32, 3)", "(5,)".
  std::vector<int64_t> tuple() {
    expect('(');
    std::vector<int64_t> v;
    if (accept(')')) return v;
    for (;;) {
      v.push_back(extent());
      if (accept(')')) return v;
      if (!accept(',')) fail("expected ',' or ')' after an extent of the shape");
      if (accept(')')) return v;
    }
  }
  int64_t extent() {
    skip();
    const size_t start = pos_;
    int64_t v = 0;
    while (pos_ < s_.size() && s_[pos_] >= '0' && s_[pos_] <= '9') {
      const int d = s_[pos_++] - '0';
      if (v > (std::numeric_limits<int64_t>::max() - d) / 10) {
        while (pos_ < s_.size() && s_[pos_] >= '0' && s_[pos_] <= '9') ++pos_;
        fail("the extent " + s_.substr(start, pos_ - start) + " of the shape is too large");
      }
      v = v * 10 + d;
    }
    if (pos_ == start) fail("expected an extent of the shape at byte " + std::to_string(pos_));
    if (pos_ < s_.size() && s_[pos_] == 'L') ++pos_;  // written by Python 2
    return v;
  }

  const std::string& s_;
  size_t pos_ = 0;
};

// Waits until a non-blocking descriptor (a pipe or socket made so by whoever
// opened it) is ready for `events`, as a blocking call would; false on an
// error, errno set.
bool wait_for(int fd, short events) {
  pollfd ready{fd, events, 0};
  while (poll(&ready, 1, -1) < 0)
    if (errno != EINTR) return false;
  return true;
}

int stream_descriptor(const std::string& path);

// The input as a descriptor. A socket that the job was given open (standard
// input, as inetd or socket activation starts a program) cannot be opened by
// name and is read through its descriptor; any other input is opened by name.
class InputFile {
 public:
  explicit InputFile(const std::string& path) {
    const int given = stream_descriptor(path);
    struct stat st;
    if (given >= 0 && fstat(given, &st) == 0 && S_ISSOCK(st.st_mode)) {
      fd_ = given;
      return;
    }
    fd_ = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd_ < 0) throw std::runtime_error(std::string("cannot open: ") + std::strerror(errno));
    owned_ = true;
  }
  ~InputFile() {
    if (owned_) close(fd_);
  }
  InputFile(const InputFile&) = delete;
  InputFile& operator=(const InputFile&) = delete;

  // Reads exactly n bytes and no more (a peer that waits for the output keeps
  // its socket open); false at the end of the input.
  bool read(char* to, size_t n) {
    while (n > 0) {
      const ssize_t got = ::read(fd_, to, n);
      if (got < 0 && (errno == EINTR || ((errno == EAGAIN || errno == EWOULDBLOCK) && wait_for(fd_, POLLIN))))
        continue;
      if (got < 0) throw std::runtime_error(std::string("cannot read: ") + std::strerror(errno));
      if (got == 0) return false;
      to += got;
      n -= static_cast<size_t>(got);
    }
    return true;
  }

 private:
  int fd_ = -1;
  bool owned_ = false;
};

std::vector<float> read_npy_of(const std::string& path) {
  InputFile in(path);
  char magic[8];
  if (!in.read(magic, 8) || std::memcmp(magic, "\x93NUMPY", 6) != 0) throw std::runtime_error("not a .npy file");
  const int major = static_cast<unsigned char>(magic[6]);
  uint32_t header_len = 0;
  if (major == 1) {
    unsigned char b[2];
    if (!in.read(reinterpret_cast<char*>(b), 2)) throw std::runtime_error("truncated");
    header_len = b[0] | (b[1] << 8u);
  } else if (major == 2 || major == 3) {
    unsigned char b[4];
    if (!in.read(reinterpret_cast<char*>(b), 4)) throw std::runtime_error("truncated");
    header_len = b[0] | (b[1] << 8u) | (b[2] << 16u) | (static_cast<uint32_t>(b[3]) << 24u);
    if (header_len > (1u << 20)) throw std::runtime_error("oversized header");
  } else {
    throw std::runtime_error("unsupported .npy version " + std::to_string(major));
  }
  std::string text(header_len, '\0');
  if (!in.read(&text[0], header_len)) throw std::runtime_error("truncated");

  const NpyHeader header = HeaderParser(text).parse();
  if (header.descr != "<f4" && header.descr != "f4")
    throw std::runtime_error("expected float32 data ('<f4'), found '" + header.descr + "'");
  if (header.fortran_order) throw std::runtime_error("Fortran-ordered arrays are not supported");
  if (header.shape != std::vector<int64_t>(kInputShape, kInputShape + 4))
    throw std::runtime_error("expected shape " + shape_text(kInputShape));

  std::vector<float> data(kInputCount);
  if (!in.read(reinterpret_cast<char*>(data.data()), kInputCount * sizeof(float)))
    throw std::runtime_error("holds fewer values than its shape");
  return data;
}

// Every failure names the file.
std::vector<float> read_npy(const std::string& path) {
  try {
    return read_npy_of(path);
  } catch (const std::exception& e) {
    throw std::runtime_error(path + ": " + e.what());
  }
}

// The output as a .npy file: format 1.0, the header padded with spaces and a
// newline so that the values start at a multiple of 64 bytes.
std::string npy_bytes(const std::vector<float>& data) {
  std::string header = "{'descr': '<f4', 'fortran_order': False, 'shape': " + shape_text(kOutputShape) + ", }";
  // Magic, version and length take 10 bytes.
  const size_t total = (10 + header.size() + 1 + 63) / 64 * 64;
  header.append(total - 10 - header.size() - 1, ' ');
  header += '\n';
  const char preamble[10] = {'\x93', 'N', 'U', 'M', 'P', 'Y', 1, 0, static_cast<char>(header.size() & 0xFF),
                             static_cast<char>(header.size() >> 8)};
  std::string bytes(preamble, 10);
  bytes += header;
  bytes.append(reinterpret_cast<const char*>(data.data()), data.size() * sizeof(float));
  return bytes;
}

bool write_all(int fd, const std::string& bytes) {
  for (size_t done = 0; done < bytes.size();) {
    const ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
    if (n < 0 && (errno == EINTR || ((errno == EAGAIN || errno == EWOULDBLOCK) && wait_for(fd, POLLOUT)))) continue;
    if (n <= 0) {
      if (n == 0) errno = EIO;
      return false;
    }
    done += static_cast<size_t>(n);
  }
  return true;
}

// ---------------------------------------------------------------------------
// The temporary output file under SIGINT, SIGTERM, SIGHUP and SIGQUIT: the
// handler removes it, then the process ends as the signal would have ended it.

const int kInterrupts[] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT};

// The temporary file's name while it exists, else empty. The main thread
// fills it in, creates, renames or removes the file and empties it only with
// the interrupts held off, so the handler never sees a name that is not the
// file's, nor one already renamed over the target.
char g_temporary[PATH_MAX + 1];

// Only the main thread acts: in another thread (the library's OpenMP threads,
// which take a signal that the main thread holds off) the handler passes the
// signal on to the main thread, which takes it once the interrupts are no
// longer held off.
void on_interrupt(int sig) {
  const int saved = errno;
  const pid_t process = getpid();
  if (static_cast<pid_t>(syscall(SYS_gettid)) != process) {
    syscall(SYS_tgkill, process, process, sig);
    errno = saved;
    return;
  }
  if (g_temporary[0] != '\0') unlink(g_temporary);
  g_temporary[0] = '\0';
  signal(sig, SIG_DFL);
  raise(sig);  // held off while the handler runs, then ends the process
}

// An interrupt that the job was started with ignored (SIGHUP under nohup)
// stays ignored.
void catch_interrupts() {
  struct sigaction action {};
  action.sa_handler = on_interrupt;
  action.sa_flags = SA_RESTART;
  sigemptyset(&action.sa_mask);
  for (const int sig : kInterrupts) sigaddset(&action.sa_mask, sig);
  for (const int sig : kInterrupts) {
    struct sigaction old {};
    if (sigaction(sig, nullptr, &old) == 0 && old.sa_handler != SIG_IGN) sigaction(sig, &action, nullptr);
  }
}

// Holds off the interrupts in the main thread for its lifetime.
class InterruptsHeld {
 public:
  InterruptsHeld() {
    sigset_t set;
    sigemptyset(&set);
    for (const int sig : kInterrupts) sigaddset(&set, sig);
    pthread_sigmask(SIG_BLOCK, &set, &old_);
  }
  ~InterruptsHeld() { pthread_sigmask(SIG_SETMASK, &old_, nullptr); }
  InterruptsHeld(const InterruptsHeld&) = delete;
  InterruptsHeld& operator=(const InterruptsHeld&) = delete;

 private:
  sigset_t old_;
};

// The descriptor that an output name stands for: /dev/stdin, /dev/stdout,
// /dev/stderr, /dev/fd/N and /proc/self/fd/N name a stream the job was given
// open. -1 for any other name.
int stream_descriptor(const std::string& path) {
  const char* const standard[] = {"/dev/stdin", "/dev/stdout", "/dev/stderr"};
  for (int fd = 0; fd < 3; ++fd)
    if (path == standard[fd]) return fd;
  for (const std::string prefix : {"/dev/fd/", "/proc/self/fd/"}) {
    if (path.compare(0, prefix.size(), prefix) != 0) continue;
    const std::string n = path.substr(prefix.size());
    // The kernel's own form: decimal, no sign, no leading zero.
    if (n.empty() || n.size() > 9 || n.find_first_not_of("0123456789") != std::string::npos ||
        (n[0] == '0' && n.size() > 1))
      return -1;
    return std::stoi(n);
  }
  return -1;
}

// The standard output or standard error that an output name leads to under
// any other name (the file that `>> log` opened, /proc/PID/fd/1, /dev//stdout,
// a link): the one of them open for writing on the same file or pipe, else -1.
int standard_stream_at(const std::string& path) {
  struct stat named;
  if (stat(path.c_str(), &named) != 0) return -1;
  for (const int fd : {STDOUT_FILENO, STDERR_FILENO}) {
    const int flags = fcntl(fd, F_GETFL);
    struct stat st;
    if (flags >= 0 && (flags & O_ACCMODE) != O_RDONLY && fstat(fd, &st) == 0 && st.st_dev == named.st_dev &&
        st.st_ino == named.st_ino)
      return fd;
  }
  return -1;
}

// The output, checked before any work.
//
// A file: nothing is created at its path until the result is complete. The
// result goes to a temporary file in the target's folder, which then replaces
// the target in one rename, so a failed or interrupted write leaves an earlier
// file as it was and no temporary file behind. The new file is the running
// user's, with the old file's permissions but no set-ID or sticky bit; hard
// links to the old file keep the old contents. A symbolic link is followed
// (the file it names is replaced, the link kept); an existing special file
// such as /dev/null is written in place.
//
// A stream (see stream_descriptor), or the file or pipe that standard output
// or standard error writes to, under any name (see standard_stream_at): the
// descriptor is written as it is, never truncated or replaced, so a file
// opened for appending is appended to and a pipe works.
class OutputFile {
 public:
  OutputFile(const std::string& path, const std::string& input) : path_(path) {
    stream_ = stream_descriptor(path);
    if (stream_ < 0) stream_ = standard_stream_at(path);
    struct stat st;
    if (stream_ >= 0) {
      const int flags = fcntl(stream_, F_GETFL);
      const std::string fd = std::to_string(stream_);
      if (flags < 0) throw std::runtime_error("cannot write " + path + ": descriptor " + fd + " is not open");
      if ((flags & O_ACCMODE) == O_RDONLY)
        throw std::runtime_error("cannot write " + path + ": descriptor " + fd + " is open for reading only");
      if (fstat(stream_, &st) != 0) fail("cannot write");
      refuse_input(st, input);
      return;
    }
    if (stat(path.c_str(), &st) == 0) {
      if (S_ISDIR(st.st_mode)) throw std::runtime_error("cannot create " + path + ": it is a folder");
      // A socket file can never be opened for writing.
      if (S_ISSOCK(st.st_mode)) throw std::runtime_error("cannot write " + path + ": it is a socket");
      if (access(path.c_str(), W_OK) != 0) fail("cannot create");
      refuse_input(st, input);
      char* real = realpath(path.c_str(), nullptr);
      if (real == nullptr) fail("cannot create");
      target_ = real;
      std::free(real);
      in_place_ = !S_ISREG(st.st_mode);
      mode_ = st.st_mode & 0777;
      if (S_ISCHR(st.st_mode) || S_ISBLK(st.st_mode)) {
        // A device is tried now, without blocking (/dev/tty without a
        // terminal cannot be opened); a FIFO waits for its reader at the write.
        const int fd = open(target_.c_str(), O_WRONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
        if (fd < 0) fail("cannot write");
        close(fd);
      } else if (!in_place_) {
        refuse_sticky(st);
      }
    } else {
      // A link to a missing file is refused too: stat finds nothing, lstat the link.
      struct stat link;
      if (errno != ENOENT || lstat(path.c_str(), &link) == 0) fail("cannot create");
      target_ = path;
      const mode_t mask = umask(0);
      umask(mask);
      mode_ = 0666 & ~mask;
    }
    if (!in_place_) {
      temporary_ = temporary_pattern();
      catch_interrupts();
      // A trial file shows that the folder takes new files.
      close(create_temporary());
      end_temporary(false);
    }
  }

  const std::string& path() const { return path_; }

  // Whether the output is the file that standard output writes to.
  bool on_standard_output() const {
    struct stat out, mine;
    return stream_ == STDOUT_FILENO || (stream_ >= 0 && fstat(STDOUT_FILENO, &out) == 0 &&
                                        fstat(stream_, &mine) == 0 && out.st_dev == mine.st_dev &&
                                        out.st_ino == mine.st_ino);
  }

  void write(const std::vector<float>& data) const {
    const std::string bytes = npy_bytes(data);
    if (stream_ >= 0) {
      if (!write_all(stream_, bytes)) fail("cannot write");
      return;
    }
    const int fd = in_place_ ? open(target_.c_str(), O_WRONLY | O_TRUNC | O_CLOEXEC) : create_temporary();
    if (fd < 0) fail("cannot write");
    bool done = (in_place_ || fchmod(fd, mode_) == 0) && write_all(fd, bytes) && (in_place_ || fsync(fd) == 0);
    int err = errno;
    if (close(fd) != 0 && done) {
      done = false;
      err = errno;
    }
    if (done && !in_place_ && !end_temporary(true)) {
      done = false;
      err = errno;
    }
    if (done) return;
    if (!in_place_) end_temporary(false);
    fail("cannot write", err);
  }

 private:
  [[noreturn]] void fail(const char* what, int err = errno) const {
    throw std::runtime_error(std::string(what) + " " + path_ + ": " + std::strerror(err));
  }
  // Only a file that a write could overwrite: a socket or pipe, whose two
  // directions share one inode, may be both (inetd's standard input and output).
  void refuse_input(const struct stat& output, const std::string& input) const {
    struct stat in;
    if (!input.empty() && (S_ISREG(output.st_mode) || S_ISBLK(output.st_mode)) && stat(input.c_str(), &in) == 0 &&
        in.st_dev == output.st_dev && in.st_ino == output.st_ino)
      throw std::runtime_error("--input " + input + " and --output " + path_ + " name the same file");
  }
  // In a folder with the sticky bit only the file's owner, the folder's owner
  // or root may replace the file (the rename would fail).
  void refuse_sticky(const struct stat& file) const {
    struct stat folder;
    const uid_t user = geteuid();
    if (stat(target_.substr(0, target_.rfind('/') + 1).c_str(), &folder) == 0 && (folder.st_mode & S_ISVTX) != 0 &&
        user != 0 && user != file.st_uid && user != folder.st_uid)
      throw std::runtime_error("cannot replace " + path_ + ": another user's file in a folder with the sticky bit");
  }
  // The temporary file's name for mkostemp: ".NAME.XXXXXX" beside the target.
  // NAME is cut short (at a character boundary) where the whole would be
  // longer than the folder takes; the random part keeps it unique.
  std::string temporary_pattern() const {
    const size_t slash = target_.rfind('/');
    const std::string folder = slash == std::string::npos ? "" : target_.substr(0, slash + 1);
    std::string name = slash == std::string::npos ? target_ : target_.substr(slash + 1);
    const long longest = pathconf(folder.empty() ? "." : folder.c_str(), _PC_NAME_MAX);
    const size_t room = static_cast<size_t>(longest > 0 ? longest : NAME_MAX) - std::strlen("..XXXXXX");
    if (name.size() > room) {
      size_t cut = room;
      while (cut > 0 && (static_cast<unsigned char>(name[cut]) & 0xC0) == 0x80) --cut;
      name.resize(cut);
    }
    return folder + "." + name + ".XXXXXX";
  }
  // A new empty file named after temporary_; returns its descriptor.
  int create_temporary() const {
    if (temporary_.size() >= sizeof g_temporary) fail("cannot create", ENAMETOOLONG);
    const InterruptsHeld held;
    std::memcpy(g_temporary, temporary_.c_str(), temporary_.size() + 1);
    const int fd = mkostemp(g_temporary, O_CLOEXEC);
    if (fd >= 0) return fd;
    const int err = errno;
    g_temporary[0] = '\0';
    fail("cannot create", err);
  }
  // Renames the temporary file over the target (`keep`) or removes it. It is
  // no longer the handler's to remove once renamed or removed; a failed rename
  // keeps it so.
  bool end_temporary(bool keep) const {
    const InterruptsHeld held;
    const bool done = keep ? rename(g_temporary, target_.c_str()) == 0 : unlink(g_temporary) == 0;
    const int err = errno;
    if (done || !keep) g_temporary[0] = '\0';
    errno = err;
    return done;
  }

  std::string path_;       // as given, for messages
  int stream_ = -1;        // the descriptor written, for a stream
  std::string target_;     // the file that is replaced or written
  std::string temporary_;  // the pattern of the temporary file's name
  bool in_place_ = false;
  mode_t mode_ = 0;
};

// A fixed batch: values in [-1, 1) from an integer hash of the element index,
// the same on every machine.
std::vector<float> synthetic_batch() {
  std::vector<float> data(kInputCount);
  for (size_t i = 0; i < data.size(); ++i) {
    uint32_t h = static_cast<uint32_t>(i) * 2654435761u + 0x9E3779B9u;
    h ^= h >> 15;
    h *= 0x2C1B3C6Du;
    h ^= h >> 12;
    data[i] = static_cast<float>(h >> 8) / 8388608.0f - 1.0f;
  }
  return data;
}

// ---------------------------------------------------------------------------
// The library, loaded like any host loads it.

// A failure that the library reported by throwing out of a call.
struct LibraryFailure : std::runtime_error {
  using std::runtime_error::runtime_error;
};

struct Library {
  void* handle = nullptr;
  void (*set_io)(void*, void*) = nullptr;
  void (*optimize)(int32_t) = nullptr;
  void (*predict)(void*, void*) = nullptr;
  void (*release)() = nullptr;

  template <typename Fn>
  void bind(Fn& fn, const char* name) {
    void* sym = dlsym(handle, name);
    if (sym == nullptr) throw std::runtime_error(std::string("the library has no entry point ") + name);
    fn = reinterpret_cast<Fn>(sym);
  }

  explicit Library(const std::string& path) {
    handle = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (handle == nullptr) throw std::runtime_error(std::string("cannot load the library: ") + dlerror());
    bind(set_io, "qel_pellavine_set_IO");
    bind(optimize, "qel_pellavine_optimize");
    bind(predict, "qel_predict");
    bind(release, "qel_pellavine_free");
  }
};

double milliseconds_since(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
}

// Where the summary goes, and whether the output was written; main checks
// that the summary arrived.
struct Report {
  std::FILE* to = stdout;
  bool output_written = false;
};

int run(const Options& o, Report& report) {
  const OutputFile output_file(o.output.empty() ? program_folder() + "/pellavine_output.npy" : o.output, o.input);
  if (output_file.on_standard_output()) report.to = stderr;
  std::string library = o.library.empty() ? program_folder() + "/libqel_pellavine.so" : o.library;
  // A path, never looked up on the system's library path: a name without a
  // slash is a file in the current folder.
  if (library.find('/') == std::string::npos) library = "./" + library;
  Library lib(library);

  std::vector<float> input = o.input.empty() ? synthetic_batch() : read_npy(o.input);
  std::vector<float> output(kOutputCount, std::numeric_limits<float>::quiet_NaN());
  std::fprintf(report.to, "library: %s\n", library.c_str());
  std::fprintf(report.to, "input:   %s %s\n", o.input.empty() ? "synthetic batch" : o.input.c_str(),
               shape_text(kInputShape).c_str());

  double planning_ms = 0.0;
  std::vector<double> times;
  std::vector<float> planned;
  try {
    // The planning run is itself a full run on the bound buffers.
    lib.set_io(input.data(), output.data());
    auto start = std::chrono::steady_clock::now();
    lib.optimize(1);
    planning_ms = milliseconds_since(start);
    planned = output;
    for (int r = 0; r < o.runs; ++r) {
      start = std::chrono::steady_clock::now();
      lib.predict(input.data(), output.data());
      times.push_back(milliseconds_since(start));
    }
  } catch (const std::exception& e) {
    throw LibraryFailure(e.what());
  }
  const bool stable = std::memcmp(planned.data(), output.data(), output.size() * sizeof(float)) == 0;
  output_file.write(output);
  report.output_written = true;
  lib.release();

  // Min and max of the finite values, wherever the others are (NaN if none is).
  double lo = std::numeric_limits<double>::infinity(), hi = -lo, sum = 0.0;
  size_t non_finite = 0;
  uint64_t fnv = 1469598103934665603ull;  // FNV-1a over the output's bytes
  for (float v : output) {
    if (std::isfinite(v)) {
      lo = std::min(lo, static_cast<double>(v));
      hi = std::max(hi, static_cast<double>(v));
    } else {
      ++non_finite;
    }
    sum += v;
    unsigned char bytes[4];
    std::memcpy(bytes, &v, 4);
    for (unsigned char b : bytes) fnv = (fnv ^ b) * 1099511628211ull;
  }
  if (non_finite == output.size()) lo = hi = std::numeric_limits<double>::quiet_NaN();
  std::sort(times.begin(), times.end());
  std::fprintf(report.to, "output:  %s %s\n", output_file.path().c_str(), shape_text(kOutputShape).c_str());
  std::fprintf(report.to, "summary: min %.6g  max %.6g  mean %.6g  sum %.9g  non-finite %zu\n", lo, hi,
               sum / static_cast<double>(output.size()), sum, non_finite);
  std::fprintf(report.to, "checksum (FNV-1a of the output bytes): %016" PRIx64 "\n", fnv);
  std::fprintf(report.to, "time per batch: %.3f ms median, %.3f ms best over %d runs (planning run %.3f ms)\n",
               times[times.size() / 2], times.front(), o.runs, planning_ms);
  if (!stable) {
    std::fprintf(stderr, "the predictions after planning differ from the planning run's output\n");
    return 1;
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  // Past a file-size limit a write then fails with EFBIG instead of ending the
  // process, so a failed write is cleaned up and reported like any other.
  std::signal(SIGXFSZ, SIG_IGN);
  const Options o = parse(argc, argv);
  Report report;
  int status = 0;
  try {
    status = run(o, report);
  } catch (const LibraryFailure& e) {
    std::fprintf(stderr, "%s: the library failed: %s\n", argv[0], e.what());
    status = 1;
  } catch (const std::exception& e) {
    std::fprintf(stderr, "%s: %s\n", argv[0], e.what());
    status = 2;
  }
  // A summary that did not arrive (standard output on a full device, or
  // closed) is a failure of its own; an earlier failure keeps its status.
  const std::string lost = lost_writes(report.to);
  if (!lost.empty()) {
    std::fprintf(stderr, "%s: cannot write the summary to standard %s: %s%s\n", argv[0],
                 report.to == stdout ? "output" : "error", lost.c_str(),
                 report.output_written ? " (the output was written)" : "");
    if (status == 0) status = 2;
  }
  return status;
}
