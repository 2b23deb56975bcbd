// Encode and decode throughput of PStream on a large nested map, through a
// real Unix-domain socket pair (the peer runs on a second thread and only
// drains or feeds bytes).
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <string>
#include <thread>

#include "benchmark/benchmark.h"
#include "messaging/channel.h"
#include "messaging/pobject.h"
#include "messaging/pstream.h"

namespace {

// A reply listing `users` user records, each a small map with strings,
// integers, an array and a buffer: the shape of the cache daemon's replies,
// only larger.
PObject MakeUserList(int users) {
  PObject reply;
  reply["success"] = true;
  reply["total"] = users;
  PObject::array_type& list = reply["users"].mutable_array();
  list.reserve(users);
  for (int i = 0; i < users; ++i) {
    PObject user;
    std::string name = "user_" + std::to_string(i) + "_with_a_longer_name";
    user["name"] = ustring(name);
    user["uid"] = 1000 + i;
    user["gid"] = 100;
    user["quota"] = uint64_t{5000000000ULL} + i;
    user["home"] = ustring("/volume1/homes/" + name);
    PObject::array_type& groups = user["groups"].mutable_array();
    for (int g = 0; g < 4; ++g) groups.push_back(PObject(ustring("group" + std::to_string(g))));
    std::string blob(64, static_cast<char>(i));
    user["_sid"].mutable_buffer().assign(blob.data(), static_cast<uint32_t>(blob.size()));
    list.push_back(user);
  }
  return reply;
}

// Encodes once into a string, through a socket pair.
std::string EncodeOnce(const PObject& value) {
  int fds[2];
  if (socketpair(AF_UNIX, SOCK_STREAM, 0, fds) != 0) return "";
  std::string bytes;
  std::thread reader([&] {
    char chunk[65536];
    ssize_t n;
    while ((n = read(fds[1], chunk, sizeof(chunk))) > 0) bytes.append(chunk, n);
  });
  {
    Channel channel;
    channel.Open(fds[0], true);
    PStream stream;
    stream.Send(&channel, value);
  }
  reader.join();
  close(fds[1]);
  return bytes;
}

void BM_EncodeNestedMap(benchmark::State& state) {
  const PObject value = MakeUserList(static_cast<int>(state.range(0)));
  const size_t size = EncodeOnce(value).size();
  int fds[2];
  if (socketpair(AF_UNIX, SOCK_STREAM, 0, fds) != 0) {
    state.SkipWithError("socketpair");
    return;
  }
  std::thread drain([&] {
    char chunk[65536];
    while (read(fds[1], chunk, sizeof(chunk)) > 0) {
    }
  });
  Channel channel;
  channel.Open(fds[0], true);
  PStream stream;
  for (auto _ : state) {
    if (stream.Send(&channel, value) != 0) {
      state.SkipWithError("Send failed");
      break;
    }
  }
  channel.Close();
  drain.join();
  close(fds[1]);
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * size);
  state.counters["message_bytes"] = static_cast<double>(size);
}

void BM_DecodeNestedMap(benchmark::State& state) {
  const std::string bytes = EncodeOnce(MakeUserList(static_cast<int>(state.range(0))));
  int fds[2];
  if (bytes.empty() || socketpair(AF_UNIX, SOCK_STREAM, 0, fds) != 0) {
    state.SkipWithError("set-up");
    return;
  }
  std::atomic<bool> stop(false);
  // Feeds the message over and over until the reading side goes away.
  std::thread feeder([&] {
    while (!stop.load()) {
      size_t done = 0;
      while (done < bytes.size()) {
        ssize_t n = send(fds[0], bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
        if (n <= 0) return;
        done += static_cast<size_t>(n);
      }
    }
  });
  Channel channel;
  channel.Open(fds[1], true);
  PStream stream;
  for (auto _ : state) {
    PObject reply;
    if (stream.Recv(&channel, &reply) != 0) {
      state.SkipWithError("Recv failed");
      break;
    }
    benchmark::DoNotOptimize(reply);
  }
  stop.store(true);
  channel.Close();  // the feeder's next send fails
  feeder.join();
  close(fds[0]);
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * bytes.size());
  state.counters["message_bytes"] = static_cast<double>(bytes.size());
}

BENCHMARK(BM_EncodeNestedMap)->Arg(100)->Arg(2000)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_DecodeNestedMap)->Arg(100)->Arg(2000)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
