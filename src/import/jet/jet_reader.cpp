#include "import/jet/jet_reader.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace kvistur::import {

namespace {

// The messages from the child, each a tag byte and its fields.  Numbers
// are in this machine's own byte order: both ends are this program.
enum Tag : char {
  kInfo = 'I',   // version, code page, tables (name, rows, columns (name, type, Jet type))
  kBegin = 'B',  // table index
  kRow = 'R',    // a Cell per column: kind, then the value
  kEnd = 'E',    // table index, rows
  kFailed = 'X', // the JetError's message
  kDone = 'Z',
};

#if defined(__SANITIZE_ADDRESS__)
constexpr bool kSanitized = true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
constexpr bool kSanitized = true;
#else
constexpr bool kSanitized = false;
#endif
#else
constexpr bool kSanitized = false;
#endif

// Nothing the child sends is longer: a Memo or OLE value is at most 1 GB.
constexpr uint32_t kMaxBytes = 1u << 30;
constexpr std::size_t kBufferSize = 1 << 16;

class PipeOut {
 public:
  explicit PipeOut(int fd) : fd_(fd) {}
  void tag(Tag t) { put(&t, 1); }
  template <typename T>
  void num(T v) { put(&v, sizeof v); }
  void str(const std::string& s) {
    num(uint32_t(s.size()));
    put(s.data(), s.size());
  }
  void flush() {
    for (std::size_t done = 0; done < buf_.size();) {
      ssize_t n = write(fd_, buf_.data() + done, buf_.size() - done);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) _exit(3);  // the reading end is gone: nobody to tell
      done += std::size_t(n);
    }
    buf_.clear();
  }

 private:
  void put(const void* p, std::size_t n) {
    buf_.append(static_cast<const char*>(p), n);
    if (buf_.size() >= kBufferSize) flush();
  }
  int fd_;
  std::string buf_;
};

// The child's sink: everything down the pipe.
class PipeSink : public JetSink {
 public:
  explicit PipeSink(int fd) : out_(fd) {}
  void Tables(const JetInfo& info) override {
    out_.tag(kInfo);
    out_.str(info.version);
    out_.num(int32_t(info.code_page));
    out_.num(uint32_t(info.tables.size()));
    for (auto& t : info.tables) {
      out_.str(t.shape.name);
      out_.num(uint64_t(t.rows));
      out_.num(uint32_t(t.shape.columns.size()));
      for (std::size_t c = 0; c < t.shape.columns.size(); ++c) {
        out_.str(t.shape.columns[c].name);
        out_.num(uint8_t(t.shape.columns[c].type));
        out_.num(int32_t(t.jet_types[c]));
      }
    }
  }
  void BeginTable(std::size_t index) override {
    out_.tag(kBegin);
    out_.num(uint32_t(index));
    out_.flush();
  }
  void Row(std::span<const Cell> row) override {
    out_.tag(kRow);
    for (const Cell& c : row) {
      out_.num(uint8_t(c.kind));
      if (c.kind == Cell::kInteger) out_.num(c.integer);
      if (c.kind == Cell::kReal) out_.num(c.real);
      if (c.kind == Cell::kText || c.kind == Cell::kBlob) out_.str(c.bytes);
    }
  }
  void EndTable(std::size_t index, uint64_t rows) override {
    out_.tag(kEnd);
    out_.num(uint32_t(index));
    out_.num(rows);
    out_.flush();
  }
  void Finish(const char* failure) {
    if (failure) {
      out_.tag(kFailed);
      out_.str(failure);
    } else {
      out_.tag(kDone);
    }
    out_.flush();
  }

 private:
  PipeOut out_;
};

[[noreturn]] void run_child(const std::string& file, int code_page, int fd, int err_fd) {
  // Interrupting the build interrupts the parent, which removes what it
  // staged; the child only has to die.
  for (int sig : {SIGINT, SIGTERM, SIGHUP}) signal(sig, SIG_DFL);
  prctl(PR_SET_PDEATHSIG, SIGKILL);
  dup2(err_fd, STDERR_FILENO);
  PipeSink sink(fd);
  try {
    ReadJet(file, code_page, sink);
    sink.Finish(nullptr);
  } catch (const std::exception& e) {
    sink.Finish(e.what());
  }
  _exit(0);
}

struct Damaged : JetError {
  explicit Damaged(const std::string& why) : JetError("the file is damaged (" + why + ")") {}
};

// The parent's end: reads the child's messages, waiting at most
// kJetStallSeconds for each piece.  What libmdb writes to standard error
// on its way through a damaged file (warnings, not one line the user can
// act on) is kept apart, in said().
class PipeIn {
 public:
  PipeIn(int fd, int err_fd) : fd_(fd), err_fd_(err_fd), buf_(kBufferSize) {}

  void get(void* p, std::size_t n) {
    char* out = static_cast<char*>(p);
    while (n) {
      if (pos_ == end_) fill();
      std::size_t k = std::min(n, end_ - pos_);
      std::memcpy(out, buf_.data() + pos_, k);
      pos_ += k, out += k, n -= k;
    }
  }
  template <typename T>
  T num() {
    T v;
    get(&v, sizeof v);
    return v;
  }
  void str(std::string& s) {
    uint32_t n = num<uint32_t>();
    if (n > kMaxBytes) throw Damaged("the reader sent a value it cannot have read");
    s.resize(n);
    get(s.data(), n);
  }
  std::string str() {
    std::string s;
    str(s);
    return s;
  }

  bool ended = false;  // the child closed its end
  const std::string& said() const { return said_; }

 private:
  void fill() {
    pollfd p[2] = {{fd_, POLLIN, 0}, {err_fd_, POLLIN, 0}};
    for (;;) {
      int r = poll(p, err_fd_ >= 0 ? 2 : 1, kJetStallSeconds * 1000);
      if (r < 0 && errno == EINTR) continue;
      if (r == 0) throw Damaged("reading it stopped making progress");
      if (err_fd_ >= 0 && p[1].revents) {
        ssize_t n = read(err_fd_, buf_.data(), buf_.size());
        if (n > 0 && said_.size() < kBufferSize) said_.append(buf_.data(), std::size_t(n));
        if (n == 0) err_fd_ = -1;
      }
      if (!p[0].revents) continue;
      ssize_t n = read(fd_, buf_.data(), buf_.size());
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) {
        ended = true;
        throw Damaged("");  // replaced by how the child ended
      }
      pos_ = 0, end_ = std::size_t(n);
      return;
    }
  }
  int fd_, err_fd_;
  std::vector<char> buf_;
  std::size_t pos_ = 0, end_ = 0;
  std::string said_;
};

// Why the child ended before it said it was done.
std::string how_it_ended(int status) {
  if (WIFSIGNALED(status)) return std::string("reading it ended with ") + strsignal(WTERMSIG(status));
  return "reading it ended with exit status " + std::to_string(WEXITSTATUS(status));
}

void receive(PipeIn& in, JetSink& sink) {
  JetInfo info;
  std::vector<Cell> row;
  std::size_t table = SIZE_MAX;
  for (;;) {
    char tag = in.num<char>();
    switch (tag) {
      case kInfo: {
        info.version = in.str();
        info.code_page = in.num<int32_t>();
        uint32_t n = in.num<uint32_t>();
        for (uint32_t i = 0; i < n; ++i) {
          JetTable t;
          t.shape.name = in.str();
          t.rows = in.num<uint64_t>();
          uint32_t columns = in.num<uint32_t>();
          for (uint32_t c = 0; c < columns; ++c) {
            ColumnShape col;
            col.name = in.str();
            col.type = ColumnType(in.num<uint8_t>());
            t.shape.columns.push_back(std::move(col));
            t.jet_types.push_back(in.num<int32_t>());
          }
          info.tables.push_back(std::move(t));
        }
        sink.Tables(info);
        break;
      }
      case kBegin:
        table = in.num<uint32_t>();
        if (table >= info.tables.size()) throw Damaged("the reader named a table the file does not have");
        row.resize(info.tables[table].shape.columns.size());
        sink.BeginTable(table);
        break;
      case kRow:
        if (table == SIZE_MAX) throw Damaged("the reader sent a row of no table");
        for (Cell& c : row) {
          c.kind = Cell::Kind(in.num<uint8_t>());
          if (c.kind == Cell::kInteger) c.integer = in.num<int64_t>();
          if (c.kind == Cell::kReal) c.real = in.num<double>();
          if (c.kind == Cell::kText || c.kind == Cell::kBlob) in.str(c.bytes);
        }
        sink.Row(row);
        break;
      case kEnd: {
        uint32_t index = in.num<uint32_t>();
        uint64_t rows = in.num<uint64_t>();
        sink.EndTable(index, rows);
        table = SIZE_MAX;
        break;
      }
      case kFailed: throw JetError(in.str());
      case kDone: return;
      default: throw Damaged("the reader sent what no reader sends");
    }
  }
}

}  // namespace

void ReadJetFile(const std::string& file, int code_page, JetSink& sink) {
  if (access(file.c_str(), R_OK) != 0) throw JetError(std::string("cannot be opened: ") + std::strerror(errno));
  int fds[2], err[2];
  if (pipe2(fds, O_CLOEXEC) != 0) throw JetError(std::string("cannot make a pipe: ") + std::strerror(errno));
  if (pipe2(err, O_CLOEXEC) != 0) {
    close(fds[0]), close(fds[1]);
    throw JetError(std::string("cannot make a pipe: ") + std::strerror(errno));
  }
  pid_t pid = fork();
  if (pid < 0) {
    for (int fd : {fds[0], fds[1], err[0], err[1]}) close(fd);
    throw JetError(std::string("cannot start the reader: ") + std::strerror(errno));
  }
  if (pid == 0) {
    close(fds[0]), close(err[0]);
    run_child(file, code_page, fds[1], err[1]);
  }
  close(fds[1]), close(err[1]);
  PipeIn in(fds[0], err[0]);
  auto finish = [&](bool stop) {
    close(fds[0]), close(err[0]);
    if (stop) kill(pid, SIGKILL);
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    return status;
  };
  try {
    receive(in, sink);
  } catch (const Damaged&) {
    int status = finish(!in.ended);
    if (in.ended) {
      // A sanitizer's report on libmdb is a finding, to be seen.
      if (kSanitized) std::fputs(in.said().c_str(), stderr);
      throw Damaged(how_it_ended(status));
    }
    throw;
  } catch (...) {
    finish(true);
    throw;
  }
  finish(false);
}

}  // namespace kvistur::import
