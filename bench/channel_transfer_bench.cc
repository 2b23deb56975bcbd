// File transfer through Channel over a Unix-domain socket pair against a
// plain sendfile loop into a read/write loop between the same two processes
// (this one sends, a forked child receives), and the hashed road (md5 on
// both ends, the digest the transfer tests agree on) against `openssl dgst
// -md5` of the same file.
//
// Every round runs the plain loop, the channel, the hashed channel and the
// openssl run in turn; the figures are medians over the rounds.  A transfer
// is timed from the sender's start to the receiver's last stored byte (both
// read CLOCK_MONOTONIC).  After each one the receiver digests its file
// (untimed) and it must match the source, as must both ends' running digests
// on the hashed road: a mismatch is a benchmark error.  Both processes report
// their peak resident set before the first and after the last transfer.
//
//   DRIFT_BENCH_BYTES       file size (default 1 GiB; the file is written
//                           once into $TMPDIR or /tmp and removed at the end)
//   DRIFT_BENCH_ITERATIONS  rounds (default 5)
#include <benchmark/benchmark.h>
#include <errno.h>
#include <fcntl.h>
#include <openssl/evp.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/sendfile.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <vector>

#include "bench/bench_support.h"
#include "messaging/channel.h"

namespace {

enum RoadKind { kPlain, kChannel, kHashed, kRoads };
const char* const kRoadNames[kRoads] = {"plain", "channel", "hashed"};
const char kDigest[] = "md5";

uint64_t TransferBytes() {
  const char* text = getenv("DRIFT_BENCH_BYTES");
  const unsigned long long v = text != nullptr ? strtoull(text, nullptr, 10) : 0;
  return v > 0 ? v : 1ULL << 30;
}

std::string TempPath(const char* name) {
  const char* tmp = getenv("TMPDIR");
  std::string path = std::string(tmp != nullptr && tmp[0] == '/' ? tmp : "/tmp") + "/" + name;
  const int fd = mkstemp(path.data());
  if (fd < 0) abort();
  close(fd);
  return path;
}

bool WriteSource(const std::string& path, uint64_t size) {
  const int fd = open(path.c_str(), O_WRONLY | O_TRUNC);
  std::vector<char> chunk(1 << 20);
  for (size_t i = 0; i < chunk.size(); ++i) chunk[i] = static_cast<char>(i * 131 + (i >> 11));
  bool ok = fd >= 0;
  for (uint64_t done = 0; ok && done < size; done += chunk.size()) {
    chunk[0] = static_cast<char>(done >> 20);  // no two megabytes alike
    const size_t n = static_cast<size_t>(std::min<uint64_t>(size - done, chunk.size()));
    ok = pwrite(fd, chunk.data(), n, static_cast<off_t>(done)) == static_cast<ssize_t>(n);
  }
  return close(fd) == 0 && ok;
}

// Lowercase hexadecimal md5 of the file; empty on failure.
std::string FileDigest(const std::string& path) {
  const int fd = open(path.c_str(), O_RDONLY);
  if (fd < 0) return "";
  EVP_MD_CTX* ctx = EVP_MD_CTX_new();
  EVP_DigestInit_ex(ctx, EVP_md5(), nullptr);
  std::vector<char> buf(1 << 20);
  ssize_t n;
  while ((n = read(fd, buf.data(), buf.size())) > 0) EVP_DigestUpdate(ctx, buf.data(), n);
  close(fd);
  unsigned char md[EVP_MAX_MD_SIZE];
  unsigned int len = 0;
  EVP_DigestFinal_ex(ctx, md, &len);
  EVP_MD_CTX_free(ctx);
  std::string hex;
  char two[3];
  for (unsigned int i = 0; i < len; ++i) {
    snprintf(two, sizeof(two), "%02x", md[i]);
    hex += two;
  }
  return n == 0 ? hex : "";
}

// What the receiver tells the sender after each transfer.
struct Receipt {
  double end = 0;            // CLOCK_MONOTONIC when the last byte was stored
  int ok = 0;                // the receive returned success with every byte
  char file_md5[33] = {};    // digest of the stored file
  char stream_md5[33] = {};  // the channel's running digest (hashed road)
};

struct Peaks {
  long before_kib = 0, after_kib = 0;
};

bool ReadAll(int fd, void* out, size_t n) {
  for (size_t done = 0; done < n;) {
    const ssize_t r = read(fd, static_cast<char*>(out) + done, n - done);
    if (r <= 0) return false;
    done += static_cast<size_t>(r);
  }
  return true;
}

bool WriteAll(int fd, const void* in, size_t n) {
  return write(fd, in, n) == static_cast<ssize_t>(n);  // small control messages only
}

void CopyHex(const std::string& hex, char (*out)[33]) {
  snprintf(*out, sizeof(*out), "%s", hex.c_str());
}

// The receiving end of one transfer on `fd` (which it closes).
Receipt Receive(RoadKind road, int fd, const std::string& dest, uint64_t size) {
  Receipt receipt;
  const int out = open(dest.c_str(), O_WRONLY | O_TRUNC);
  if (out < 0) return receipt;
  if (road == kPlain) {
    std::vector<char> buf(1 << 17);
    uint64_t got = 0;
    ssize_t r = 1;
    while (got < size && r > 0) {
      r = read(fd, buf.data(), buf.size());
      if (r > 0 && pwrite(out, buf.data(), r, static_cast<off_t>(got)) != r) r = -1;
      if (r > 0) got += static_cast<uint64_t>(r);
    }
    receipt.end = bench::Now();
    receipt.ok = got == size;
    close(fd);
  } else {
    Channel channel;
    uint64_t received = 0;
    receipt.ok = channel.Open(fd, true) == 0 &&
                 (road != kHashed || channel.SetHashing(true, kDigest)) &&
                 channel.RecvFile(out, 0, size, nullptr, &received) == 0 && received == size;
    receipt.end = bench::Now();
    CopyHex(channel.GetHash().c_str(), &receipt.stream_md5);
  }
  close(out);
  CopyHex(FileDigest(dest), &receipt.file_md5);
  return receipt;
}

// The sending end; returns the stream digest on the hashed road.
bool Send(RoadKind road, int fd, int file, uint64_t size, std::string* stream_md5) {
  if (road == kPlain) {
    off_t pos = 0;
    while (static_cast<uint64_t>(pos) < size) {
      const ssize_t r = sendfile(fd, file, &pos, static_cast<size_t>(size - pos));
      if (r < 0 && errno == EINTR) continue;
      if (r <= 0) break;
    }
    close(fd);
    return static_cast<uint64_t>(pos) == size;
  }
  Channel channel;
  const bool ok = channel.Open(fd, true) == 0 &&
                  (road != kHashed || channel.SetHashing(true, kDigest)) &&
                  channel.SendFile(file, 0, size, nullptr) == 0 && channel.Flush(0) == 0;
  *stream_md5 = channel.GetHash().c_str();
  return ok;
}

// The child: for every transfer, says it is ready, receives, and reports.
void ReceiverMain(int control, const std::vector<int>& fds, const std::string& dest,
                  uint64_t size) {
  Peaks peaks;
  peaks.before_kib = bench::PeakRssKiB();
  for (size_t i = 0; i < fds.size(); ++i) {
    char go = 0;
    if (!WriteAll(control, &go, 1) || !ReadAll(control, &go, 1)) _exit(1);
    const Receipt receipt = Receive(static_cast<RoadKind>(i % kRoads), fds[i], dest, size);
    if (!WriteAll(control, &receipt, sizeof(receipt))) _exit(1);
  }
  peaks.after_kib = bench::PeakRssKiB();
  _exit(WriteAll(control, &peaks, sizeof(peaks)) ? 0 : 1);
}

double OpensslSeconds(const std::string& path, const std::string& want) {
  const std::string out = path + ".dgst";
  double seconds = 0;
  const int rc =
      bench::Run({"/usr/bin/openssl", "dgst", std::string("-") + kDigest, path}, {}, out, &seconds);
  const bool same = bench::ReadFile(out).find("= " + want) != std::string::npos;
  unlink(out.c_str());
  return rc == 0 && same ? seconds : -1;
}

void BM_FileTransfer(benchmark::State& state) {
  const uint64_t size = TransferBytes();
  const int rounds = bench::IterationsFromEnvironment(5);
  const std::string source = TempPath("channel-bench-src-XXXXXX");
  const std::string dest = TempPath("channel-bench-dst-XXXXXX");
  std::string error;
  std::vector<double> seconds[kRoads], openssl;
  Peaks sender, receiver;
  for (auto _ : state) {
    if (!WriteSource(source, size)) {
      error = "cannot write the source file";
      break;
    }
    const std::string want = FileDigest(source);
    // One socket pair per transfer, made before the fork so that both
    // processes hold their ends from the start.
    std::vector<int> sending, receiving;
    int control[2];
    if (socketpair(AF_UNIX, SOCK_STREAM, 0, control) != 0) abort();
    for (int i = 0; i < rounds * kRoads; ++i) {
      int sv[2];
      if (socketpair(AF_UNIX, SOCK_STREAM, 0, sv) != 0) abort();
      sending.push_back(sv[0]);
      receiving.push_back(sv[1]);
    }
    fflush(stdout);
    const pid_t child = fork();
    if (child == 0) {
      for (int fd : sending) close(fd);
      close(control[0]);
      ReceiverMain(control[1], receiving, dest, size);
    }
    for (int fd : receiving) close(fd);
    close(control[1]);
    const int file = open(source.c_str(), O_RDONLY);
    sender.before_kib = bench::PeakRssKiB();
    for (size_t i = 0; i < sending.size() && error.empty(); ++i) {
      const RoadKind road = static_cast<RoadKind>(i % kRoads);
      char go = 0;
      Receipt receipt;
      std::string stream_md5;
      if (!ReadAll(control[0], &go, 1) || !WriteAll(control[0], &go, 1)) error = "receiver gone";
      const double begin = bench::Now();
      const bool sent = error.empty() && Send(road, sending[i], file, size, &stream_md5);
      const double sent_at = bench::Now();
      if (!error.empty() || !ReadAll(control[0], &receipt, sizeof(receipt))) {
        error = "receiver gone";
      } else if (!sent || !receipt.ok || receipt.file_md5 != want ||
                 (road == kHashed && (stream_md5 != want || receipt.stream_md5 != want))) {
        error = std::string(kRoadNames[road]) + " transfer failed or differs";
      }
      seconds[road].push_back(std::max(receipt.end, sent_at) - begin);
      if (road == kHashed && error.empty()) {
        openssl.push_back(OpensslSeconds(source, want));
        if (openssl.back() < 0) error = "openssl dgst failed or differs";
      }
    }
    sender.after_kib = bench::PeakRssKiB();
    close(file);
    if (!error.empty()) kill(child, SIGKILL);
    if (error.empty() && !ReadAll(control[0], &receiver, sizeof(receiver))) error = "no peaks";
    close(control[0]);
    int status = 0;
    waitpid(child, &status, 0);
  }
  unlink(source.c_str());
  unlink(dest.c_str());
  if (!error.empty()) {
    state.SkipWithError(error.c_str());
    return;
  }
  const double mib = static_cast<double>(size) / (1 << 20);
  double rate[kRoads];
  for (int r = 0; r < kRoads; ++r) {
    rate[r] = mib / bench::Median(seconds[r]);
    state.counters[std::string(kRoadNames[r]) + "_MiBps"] = rate[r];
  }
  const double openssl_rate = mib / bench::Median(openssl);
  state.counters["openssl_MiBps"] = openssl_rate;
  state.counters["ratio"] = rate[kChannel] / rate[kPlain];
  state.counters["hashed_ratio"] = rate[kHashed] / openssl_rate;
  printf(
      "%.0f MiB, %d rounds, medians: plain %.0f MiB/s, channel %.0f MiB/s: %.2fx (goal >= 0.9)\n"
      "hashed channel (%s) %.0f MiB/s, openssl dgst -%s %.0f MiB/s: %.2fx\n"
      "peak RSS sender %ld -> %ld KiB, receiver %ld -> %ld KiB (before -> after the transfers)\n",
      mib, rounds, rate[kPlain], rate[kChannel], rate[kChannel] / rate[kPlain], kDigest,
      rate[kHashed], kDigest, openssl_rate, rate[kHashed] / openssl_rate, sender.before_kib,
      sender.after_kib, receiver.before_kib, receiver.after_kib);
}

BENCHMARK(BM_FileTransfer)->Iterations(1)->Unit(benchmark::kSecond);

}  // namespace

int main(int argc, char** argv) { return bench::RunBenchmarksBetweenLoadReadings(argc, argv); }
