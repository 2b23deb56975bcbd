// File transfer through Channel (send-file on one end, receive-file on the
// other, over a Unix-domain socket pair) against a plain sendfile loop into a
// plain read/write loop, in the same run.
//
// DRIFT_BENCH_TRANSFER_BYTES sets the file size (default 1 GiB); the file is
// written once into /tmp and removed at the end.  Counters: throughput of
// both, their ratio (Channel / plain; the goal is >= 0.9) and the peak
// resident set (ru_maxrss, KiB).
#include <benchmark/benchmark.h>
#include <errno.h>
#include <fcntl.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <sys/sendfile.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <string>
#include <thread>
#include <vector>

#include "messaging/channel.h"

namespace {

uint64_t TransferBytes() {
  const char* text = getenv("DRIFT_BENCH_TRANSFER_BYTES");
  if (text != nullptr && *text != 0) {
    char* end = nullptr;
    unsigned long long v = strtoull(text, &end, 10);
    if (end != nullptr && *end == 0 && v > 0) return v;
  }
  return 1ULL << 30;
}

double Now() {
  struct timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return ts.tv_sec + ts.tv_nsec / 1e9;
}

// The source file, written once for the whole run.
class SourceFile {
 public:
  explicit SourceFile(uint64_t size) : size_(size) {
    char tmpl[] = "/tmp/channel-bench-XXXXXX";
    fd_ = mkstemp(tmpl);
    path_ = tmpl;
    std::vector<char> chunk(1 << 20);
    for (size_t i = 0; i < chunk.size(); ++i) chunk[i] = static_cast<char>(i * 131 + (i >> 11));
    for (uint64_t done = 0; done < size;) {
      size_t n = size - done < chunk.size() ? static_cast<size_t>(size - done) : chunk.size();
      ssize_t w = pwrite(fd_, chunk.data(), n, static_cast<off_t>(done));
      if (w <= 0) abort();
      done += static_cast<uint64_t>(w);
    }
  }
  ~SourceFile() {
    close(fd_);
    unlink(path_.c_str());
  }
  int fd() const { return fd_; }
  uint64_t size() const { return size_; }

 private:
  int fd_;
  std::string path_;
  uint64_t size_;
};

class DestFile {
 public:
  DestFile() {
    char tmpl[] = "/tmp/channel-bench-dst-XXXXXX";
    fd_ = mkstemp(tmpl);
    path_ = tmpl;
  }
  ~DestFile() {
    close(fd_);
    unlink(path_.c_str());
  }
  int fd() const { return fd_; }

 private:
  int fd_;
  std::string path_;
};

// Plain loop: sendfile on one end, read/write into the file on the other.
double PlainTransfer(const SourceFile& src, int dst) {
  int sv[2];
  if (socketpair(AF_UNIX, SOCK_STREAM, 0, sv) != 0) abort();
  double start = Now();
  std::thread sender([&] {
    off_t pos = 0;
    uint64_t left = src.size();
    while (left > 0) {
      ssize_t r = sendfile(sv[0], src.fd(), &pos, left > (1u << 30) ? (1u << 30) : left);
      if (r < 0 && errno == EINTR) continue;
      if (r <= 0) abort();
      left -= static_cast<uint64_t>(r);
    }
  });
  std::vector<char> buf(1 << 17);
  uint64_t got = 0;
  while (got < src.size()) {
    ssize_t r = read(sv[1], buf.data(), buf.size());
    if (r < 0 && errno == EINTR) continue;
    if (r <= 0) abort();
    if (pwrite(dst, buf.data(), static_cast<size_t>(r), static_cast<off_t>(got)) != r) abort();
    got += static_cast<uint64_t>(r);
  }
  sender.join();
  double elapsed = Now() - start;
  close(sv[0]);
  close(sv[1]);
  return elapsed;
}

double ChannelTransfer(const SourceFile& src, int dst) {
  int sv[2];
  if (socketpair(AF_UNIX, SOCK_STREAM, 0, sv) != 0) abort();
  Channel sender_channel, receiver_channel;
  if (sender_channel.Open(sv[0], true) != 0 || receiver_channel.Open(sv[1], true) != 0) abort();
  double start = Now();
  int send_rc = -1;
  std::thread sender([&] {
    send_rc = sender_channel.SendFile(src.fd(), 0, src.size(), nullptr);
    if (send_rc == 0) send_rc = sender_channel.Flush(0);
  });
  uint64_t received = 0;
  int recv_rc = receiver_channel.RecvFile(dst, 0, src.size(), nullptr, &received);
  sender.join();
  double elapsed = Now() - start;
  if (send_rc != 0 || recv_rc != 0 || received != src.size()) abort();
  return elapsed;
}

void BM_ChannelFileTransfer(benchmark::State& state) {
  SourceFile src(TransferBytes());
  DestFile dst;
  double plain_total = 0, channel_total = 0;
  for (auto _ : state) {
    if (ftruncate(dst.fd(), 0) != 0) abort();
    plain_total += PlainTransfer(src, dst.fd());
    if (ftruncate(dst.fd(), 0) != 0) abort();
    double t = ChannelTransfer(src, dst.fd());
    channel_total += t;
    state.SetIterationTime(t);
  }
  const double bytes = static_cast<double>(src.size()) * state.iterations();
  state.SetBytesProcessed(static_cast<int64_t>(bytes));
  state.counters["channel_MiBps"] = bytes / channel_total / (1 << 20);
  state.counters["plain_MiBps"] = bytes / plain_total / (1 << 20);
  state.counters["ratio"] = plain_total / channel_total;
  struct rusage ru;
  getrusage(RUSAGE_SELF, &ru);
  state.counters["peak_rss_KiB"] = static_cast<double>(ru.ru_maxrss);
}

BENCHMARK(BM_ChannelFileTransfer)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(3);

}  // namespace

BENCHMARK_MAIN();
