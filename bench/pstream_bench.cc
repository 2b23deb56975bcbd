// PStream encode and decode of a large nested map against jsoncpp writing
// and parsing the same data, both over a Unix-domain socket pair (a second
// thread drains or feeds the bytes), so that each side pays for its own wire
// size.  The map has 100 or 2000 entries, each a map holding a map (three
// levels of maps) with strings, integers and arrays: only what JSON can hold.
//
// Every round times a batch of each road in turn, so that load from other
// work falls on all of them alike; the reported figure is the median over the
// rounds of the time per message.  Before timing, each road's output is
// decoded and compared with its input: a mismatch is a benchmark error.
//
//   pstream_bench [--benchmark_...]   DRIFT_BENCH_ITERATIONS sets the rounds
#include <benchmark/benchmark.h>
#include <json/json.h>
#include <stdio.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <functional>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "bench/bench_support.h"
#include "messaging/channel.h"
#include "messaging/pobject.h"
#include "messaging/pstream.h"

// The deprecated writer and reader are measured too: they are what many
// users still run, and they may be the fastest.
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"

namespace {

std::string Name(int i, const char* what) { return std::string(what) + "-" + std::to_string(i); }

PObject MakePObject(int entries) {
  PObject root;
  for (int i = 0; i < entries; ++i) {
    PObject& entry = root[ustring(Name(i, "entry"))];
    entry["name"] = ustring(Name(i, "user") + "-with-a-longer-name");
    entry["uid"] = 100000 + i;
    entry["quota"] = uint64_t{5000000000ULL} + static_cast<uint64_t>(i);
    entry["home"] = ustring("/volume1/homes/" + Name(i, "user"));
    PObject::array_type& groups = entry["groups"].mutable_array();
    for (int g = 0; g < 4; ++g) groups.push_back(PObject(ustring(Name(g, "group"))));
    PObject& attrs = entry["attrs"];
    attrs["mode"] = 0755;
    attrs["owner"] = ustring(Name(i % 7, "owner"));
    attrs["flags"].mutable_array().push_back(PObject(i % 2));
    attrs["label"] = ustring("label for entry " + std::to_string(i));
  }
  return root;
}

Json::Value MakeJson(int entries) {
  Json::Value root(Json::objectValue);
  for (int i = 0; i < entries; ++i) {
    Json::Value& entry = root[Name(i, "entry")];
    entry["name"] = Name(i, "user") + "-with-a-longer-name";
    entry["uid"] = 100000 + i;
    entry["quota"] = Json::UInt64{5000000000ULL} + static_cast<Json::UInt64>(i);
    entry["home"] = "/volume1/homes/" + Name(i, "user");
    Json::Value& groups = entry["groups"];
    for (int g = 0; g < 4; ++g) groups.append(Name(g, "group"));
    Json::Value& attrs = entry["attrs"];
    attrs["mode"] = 0755;
    attrs["owner"] = Name(i % 7, "owner");
    attrs["flags"].append(i % 2);
    attrs["label"] = "label for entry " + std::to_string(i);
  }
  return root;
}

bool Same(const PObject& a, const PObject& b) {
  if (a.type() != b.type()) return false;
  switch (a.type()) {
    case PObject::kInteger:
      return a.as_uint64() == b.as_uint64();
    case PObject::kString:
      return a.as_string() == b.as_string();
    case PObject::kArray: {
      const PObject::array_type &x = a.get_array(), &y = b.get_array();
      if (x.size() != y.size()) return false;
      for (size_t i = 0; i < x.size(); ++i) {
        if (!Same(x[i], y[i])) return false;
      }
      return true;
    }
    case PObject::kMap: {
      const PObject::map_type &x = a.get_map(), &y = b.get_map();
      if (x.size() != y.size()) return false;
      for (auto i = x.begin(), j = y.begin(); i != x.end(); ++i, ++j) {
        if (i->first != j->first || !Same(i->second, j->second)) return false;
      }
      return true;
    }
    case PObject::kNull:
      return true;
    default:  // no other kind is in the data
      return false;
  }
}

// One socket pair whose far end a thread drains for as long as it is open.
class Drain {
 public:
  Drain() {
    if (socketpair(AF_UNIX, SOCK_STREAM, 0, fds_) != 0) abort();
    thread_ = std::thread([this] {
      char chunk[65536];
      while (read(fds_[1], chunk, sizeof(chunk)) > 0) {
      }
    });
  }
  ~Drain() {
    if (fds_[0] >= 0) close(fds_[0]);
    thread_.join();
    close(fds_[1]);
  }
  // The writing end; the caller may hand it to a channel, which then closes it.
  int Release() {
    const int fd = fds_[0];
    fds_[0] = -1;
    return fd;
  }
  int fd() const { return fds_[0]; }

 private:
  int fds_[2];
  std::thread thread_;
};

// One socket pair whose far end a thread fills with `bytes` over and over.
class Feeder {
 public:
  explicit Feeder(std::string bytes) : bytes_(std::move(bytes)) {
    if (socketpair(AF_UNIX, SOCK_STREAM, 0, fds_) != 0) abort();
    thread_ = std::thread([this] {
      while (!stop_.load()) {
        for (size_t done = 0; done < bytes_.size();) {
          const ssize_t n = send(fds_[0], bytes_.data() + done, bytes_.size() - done, MSG_NOSIGNAL);
          if (n <= 0) return;
          done += static_cast<size_t>(n);
        }
      }
    });
  }
  // Call once the reading end is closed: the feeder's next send fails.
  void Stop() {
    stop_.store(true);
    thread_.join();
    close(fds_[0]);
  }
  int reading_fd() const { return fds_[1]; }

 private:
  std::string bytes_;
  int fds_[2];
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

bool ReadExactly(int fd, char* out, size_t n) {
  for (size_t done = 0; done < n;) {
    const ssize_t r = read(fd, out + done, n - done);
    if (r <= 0) return false;
    done += static_cast<size_t>(r);
  }
  return true;
}

bool WriteAll(int fd, const std::string& bytes) {
  for (size_t done = 0; done < bytes.size();) {
    const ssize_t w = write(fd, bytes.data() + done, bytes.size() - done);
    if (w <= 0) return false;
    done += static_cast<size_t>(w);
  }
  return true;
}

// The encoded PStream message, collected from a real channel.
std::string PStreamBytes(const PObject& value) {
  int fds[2];
  if (socketpair(AF_UNIX, SOCK_STREAM, 0, fds) != 0) abort();
  std::string bytes;
  std::thread reader([&] {
    char chunk[65536];
    ssize_t n;
    while ((n = read(fds[1], chunk, sizeof(chunk))) > 0) bytes.append(chunk, n);
  });
  {
    Channel channel;
    if (channel.Open(fds[0], true) != 0) abort();
    PStream stream;
    if (stream.Send(&channel, value) != 0) abort();
  }
  reader.join();
  close(fds[1]);
  return bytes;
}

bool PStreamDecodes(const std::string& bytes, const PObject& expected) {
  Feeder feeder(bytes);
  Channel channel;
  channel.Open(feeder.reading_fd(), true);
  PObject got;
  PStream stream;
  const bool same = stream.Recv(&channel, &got) == 0 && Same(got, expected);
  channel.Close();
  feeder.Stop();
  return same;
}

std::string StreamWriterText(const Json::Value& value) {
  Json::StreamWriterBuilder builder;
  builder["indentation"] = "";
  return Json::writeString(builder, value);
}

// Parses `text` and writes it out again: a value that jsoncpp reads back as
// it was written gives the writer's text of the input.
bool JsonParsesBack(const std::string& text, const Json::Value& expected) {
  Json::Value back;
  const std::unique_ptr<Json::CharReader> reader(Json::CharReaderBuilder().newCharReader());
  return reader->parse(text.data(), text.data() + text.size(), &back, nullptr) &&
         StreamWriterText(back) == StreamWriterText(expected);
}

// Seconds per call of `op`, timed over `batch` calls.
double PerCall(int batch, const std::function<bool()>& op) {
  const double begin = bench::Now();
  for (int i = 0; i < batch; ++i) {
    if (!op()) return -1;
  }
  return (bench::Now() - begin) / batch;
}

struct Road {
  const char* name;
  std::function<bool()> op;
  std::vector<double> seconds;
  // Not a competitor: what any decoder into a PObject pays at the least.
  bool floor = false;
};

// Runs every road `rounds` times in turn; false when one of them failed.
bool Interleave(std::vector<Road>* roads, int rounds, int batch) {
  for (int r = 0; r < rounds; ++r) {
    for (Road& road : *roads) {
      const double t = PerCall(batch, road.op);
      if (t < 0) return false;
      road.seconds.push_back(t);
    }
  }
  return true;
}

void Report(benchmark::State& state, const char* what, const std::vector<Road>& roads,
            size_t ours_bytes, size_t json_bytes) {
  const double ours = bench::Median(roads[0].seconds);
  double best = 0;
  const char* best_name = "";
  const Road* floor = nullptr;
  for (size_t i = 1; i < roads.size(); ++i) {
    const double t = bench::Median(roads[i].seconds);
    state.counters[std::string(roads[i].name) + "_us"] = t * 1e6;
    if (roads[i].floor) {
      floor = &roads[i];
    } else if (best == 0 || t < best) {
      best = t;
      best_name = roads[i].name;
    }
  }
  state.counters["pstream_us"] = ours * 1e6;
  state.counters["speedup"] = best / ours;
  state.counters["pstream_bytes"] = static_cast<double>(ours_bytes);
  state.counters["json_bytes"] = static_cast<double>(json_bytes);
  printf("%s %lld entries: pstream %.1f us, fastest jsoncpp (%s) %.1f us, %.2fx (goal >= 3)\n",
         what, static_cast<long long>(state.range(0)), ours * 1e6, best_name, best * 1e6,
         best / ours);
  if (floor != nullptr) {
    const double t = bench::Median(floor->seconds);
    printf("  floor: %s %.1f us, %.2f of the fastest jsoncpp (3x needs all of it within %.2f)\n",
           floor->name, t * 1e6, t / best, 1.0 / 3);
  }
}

int Batch(int entries) { return entries >= 1000 ? 5 : 100; }

void BM_Encode(benchmark::State& state) {
  const int entries = static_cast<int>(state.range(0));
  const PObject value = MakePObject(entries);
  const Json::Value json = MakeJson(entries);
  const std::string bytes = PStreamBytes(value);
  const std::string text = StreamWriterText(json);
  if (!PStreamDecodes(bytes, value)) {
    state.SkipWithError("pstream does not give its input back");
    return;
  }
  if (!JsonParsesBack(text, json) || !JsonParsesBack(Json::FastWriter().write(json), json)) {
    state.SkipWithError("jsoncpp does not give its input back");
    return;
  }
  Drain ours_drain, builder_drain, fast_drain;
  Channel channel;
  channel.Open(ours_drain.Release(), true);
  PStream stream;
  Json::StreamWriterBuilder builder;
  builder["indentation"] = "";
  const std::unique_ptr<Json::StreamWriter> writer(builder.newStreamWriter());
  Json::FastWriter fast;
  std::vector<Road> roads = {
      {"pstream", [&] { return stream.Send(&channel, value) == 0; }, {}},
      {"StreamWriterBuilder",
       [&] {
         std::ostringstream out;
         writer->write(json, &out);
         return WriteAll(builder_drain.fd(), out.str());
       },
       {}},
      {"FastWriter", [&] { return WriteAll(fast_drain.fd(), fast.write(json)); }, {}},
  };
  for (auto _ : state) {
    if (!Interleave(&roads, bench::IterationsFromEnvironment(15), Batch(entries))) {
      state.SkipWithError("a write failed");
      return;
    }
  }
  Report(state, "encode", roads, bytes.size(), text.size());
}

void BM_Decode(benchmark::State& state) {
  const int entries = static_cast<int>(state.range(0));
  const PObject value = MakePObject(entries);
  const Json::Value json = MakeJson(entries);
  const std::string bytes = PStreamBytes(value);
  const std::string text = StreamWriterText(json);
  Feeder ours_feed(bytes), builder_feed(text), reader_feed(text);
  Channel channel;
  channel.Open(ours_feed.reading_fd(), true);
  PStream stream;
  const std::unique_ptr<Json::CharReader> char_reader(Json::CharReaderBuilder().newCharReader());
  Json::Reader old_reader;
  std::string in(text.size(), '\0');
  // Each decode is checked against the input, outside the timed batches.
  PObject last;
  Json::Value last_json;
  std::vector<Road> roads = {
      {"pstream",
       [&] {
         last.clear();
         return stream.Recv(&channel, &last) == 0;
       },
       {}},
      {"CharReaderBuilder",
       [&] {
         return ReadExactly(builder_feed.reading_fd(), &in[0], in.size()) &&
                char_reader->parse(in.data(), in.data() + in.size(), &last_json, nullptr);
       },
       {}},
      {"Reader",
       [&] {
         return ReadExactly(reader_feed.reading_fd(), &in[0], in.size()) &&
                old_reader.parse(in.data(), in.data() + in.size(), last_json, false);
       },
       {}},
      // The allocations of a decoded value and their release, without any
      // reading: a deep copy of the input, then its destruction.
      {"copy_and_free",
       [&] {
         PObject copy(value);
         return copy.is_map();
       },
       {},
       true},
  };
  bool same = true;
  for (auto _ : state) {
    const int rounds = bench::IterationsFromEnvironment(15);
    for (int r = 0; r < rounds && same; ++r) {
      if (!Interleave(&roads, 1, Batch(entries))) {
        state.SkipWithError("a read failed");
        same = false;
      }
      if (same && (!Same(last, value) || StreamWriterText(last_json) != text)) {
        state.SkipWithError("a decode differs from the input");
        same = false;
      }
    }
  }
  channel.Close();
  close(builder_feed.reading_fd());
  close(reader_feed.reading_fd());
  ours_feed.Stop();
  builder_feed.Stop();
  reader_feed.Stop();
  if (same) Report(state, "decode", roads, bytes.size(), text.size());
}

BENCHMARK(BM_Encode)->Arg(100)->Arg(2000)->Iterations(1)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Decode)->Arg(100)->Arg(2000)->Iterations(1)->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv) { return bench::RunBenchmarksBetweenLoadReadings(argc, argv); }
