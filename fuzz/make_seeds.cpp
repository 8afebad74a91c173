// Writes the seed corpora for the harnesses: make_seeds DIR writes
// DIR/<harness>/<n> for each harness. Discs come from the packer library.
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>
#include <tuple>
#include <vector>

#include "disc_builder.h"
#include "disc_content.h"
#include "disc_input.h"
#include "pack.h"
#include "program.h"
#include "store.h"

namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<uint8_t>;
using orvex::fuzz::DiscPlan;
using orvex::fuzz::PlannedFile;

Bytes bytesOf(const std::string& text) { return {text.begin(), text.end()}; }

Bytes concat(Bytes a, const Bytes& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

Bytes textLike(size_t length) {
  static const char* const kWords[] = {"sector ", "index ", "name ", "of ", "event ", "\n"};
  Bytes out;
  for (size_t i = 0; out.size() < length; ++i) {
    const std::string w = kWords[(i * 7 + i / 3) % std::size(kWords)];
    out.insert(out.end(), w.begin(), w.end());
  }
  out.resize(length);
  return out;
}

Bytes compressed(const Bytes& data) {
  Bytes stream;
  if (!orvex::compress(data.data(), data.size(), &stream)) {
    std::fprintf(stderr, "make_seeds: cannot compress a seed\n");
    std::exit(1);
  }
  return stream;
}

PlannedFile stored(const std::string& name, Bytes content) {
  PlannedFile f;
  f.name = name;
  f.content = std::move(content);
  return f;
}

// A file stored as a compressed stream: given the stream as it is stored.
PlannedFile packed(const std::string& name, Bytes stream) {
  PlannedFile f = stored(name, std::move(stream));
  f.compressed = true;
  return f;
}

using orvex::testing::eventFile;

Bytes eventsTable(const std::vector<std::string>& names) {
  Bytes table(256 * names.size(), 0);
  for (size_t i = 0; i < names.size(); ++i)
    std::memcpy(&table[256 * i], names[i].data(), std::min<size_t>(names[i].size(), 256));
  return table;
}

class SeedWriter {
 public:
  SeedWriter(const fs::path& root, const std::string& harness) : dir_(root / harness) {
    fs::create_directories(dir_);
  }
  void add(const Bytes& seed) {
    orvex::testing::writeBytes((dir_ / std::to_string(count_++)).string(), seed);
  }

 private:
  fs::path dir_;
  int count_ = 0;
};

// Files the encoder has to find matches, runs and escapes in.
std::vector<Bytes> plainFiles() {
  return {textLike(3000), Bytes(1000, 0), bytesOf("abcabcabc"),
          concat(textLike(40), {0, 1, 2, 255}), Bytes{}};
}

void roundTripSeeds(SeedWriter& out) {
  for (const Bytes& data : plainFiles()) out.add(data);
}

void decodeSeeds(SeedWriter& out) {
  for (const Bytes& data : plainFiles()) {
    const Bytes stream = compressed(data);
    out.add(stream);
    out.add(Bytes(stream.begin() + 1, stream.end()));  // lost its first byte
  }
  out.add({0x03, 0x03, 0x80, 'a', 'b', 'c', 0x00, 0x00, 0x09, 0x80});
  out.add({0x02, 0x03, 0x80, 0x00, 0x80, 'x', 'y', 0x00, 0x00, 0x08, 0x80});
  out.add({'a', 'b', 'c', 'd', 0x00, 0x00, 0x03, 0x80});
  out.add({'k', 0x00, 0x00, 0x01, 0x80});
}

void nameListSeeds(SeedWriter& out) {
  out.add(orvex::encodeNameList({"a.txt", "dir/b.bin", "ev/x.evt", std::string(31, 'n')}));
  out.add(orvex::encodeNameList({}));
  // Lists whose header says more than they hold, or starts off a slot.
  for (const auto& [names, start, end] :
       {std::tuple<std::vector<std::string>, uint32_t, uint32_t>{{"one", "two"}, 32, 4096},
        {{"first", "second", "third"}, 40, 128}}) {
    Bytes list = orvex::encodeNameList(names);
    const Bytes header = orvex::encodeNameListHeader(start, end);
    std::copy(header.begin(), header.end(), list.begin());
    out.add(list);
  }
}

void eventFileSeeds(SeedWriter& out) {
  const std::vector<std::pair<std::string, Bytes>> seeds = {
      {"ev/abc.evt", eventFile(3, {20, 30, 45}, 60)},
      {"neg.x.evt", eventFile(-4, {}, 12)},
      {"odd.evt", eventFile(3, {20, 70, 16}, 40)},
      {"big.evt", eventFile(2, {0xFFFFFFF0u, 12}, 16)},
      {"nodot", eventFile(1, {8}, 16)},
      {"d.x/e", eventFile(1, {12}, 20)},
      {"../up.evt", eventFile(1, {12}, 20)},
      {"a/../b.evt", eventFile(1, {12}, 20)},
      {"short.evt", bytesOf("abc")},
      {"up/...", eventFile(1, {12}, 20)},
      {"..evt", eventFile(2, {12, 16}, 20)},
  };
  for (const auto& [name, content] : seeds) {
    Bytes seed{static_cast<uint8_t>(name.size())};
    seed.insert(seed.end(), name.begin(), name.end());
    seed.insert(seed.end(), content.begin(), content.end());
    out.add(seed);
  }
}

PlannedFile placed(PlannedFile f, std::optional<uint32_t> sector, std::optional<uint32_t> size) {
  f.sector = sector;
  f.size = size;
  return f;
}

std::vector<DiscPlan> discPlans() {
  std::vector<DiscPlan> plans;

  DiscPlan basic;
  basic.files = {
      stored("menu.ard", orvex::encodeNameList(
                             {"top.txt", "a/b/deep.bin", "a/mid.txt", "z.bin", "eventsTable"})),
      stored("top.txt", bytesOf("top level\n")),
      stored("a/b/deep.bin", Bytes(5000, 0xEE)),
      stored("a/mid.txt", {}),
      packed("z.bin", compressed(textLike(6000))),
      stored("eventsTable", eventsTable({"ev/abc.evt", "", "odd.evt"})),
      packed("ev/abc.evt", compressed(eventFile(3, {20, 30, 45}, 60))),
      stored("odd.evt", eventFile(3, {20, 70, 16}, 40)),
  };
  plans.push_back(basic);

  DiscPlan numbered;
  for (const char* list : {"al00.ard", "po07.ard", "zz99.ard", "dc42.ard"}) {
    numbered.files.push_back(stored(list, orvex::encodeNameList({std::string("from-") + list})));
    numbered.files.push_back(stored(std::string("from-") + list, bytesOf(list)));
  }
  plans.push_back(numbered);

  DiscPlan hostile;
  hostile.files = {
      stored("menu.ard", orvex::encodeNameList({"/tmp/orvex-abs", "../escape", "a/../../x", "..",
                                                "", "ok", "dir/", "eventsTable"})),
      stored("/tmp/orvex-abs", bytesOf("bad")),
      stored("../escape", bytesOf("bad")),
      stored("a/../../x", bytesOf("bad")),
      stored("ok", bytesOf("fine")),
      stored("dir/", bytesOf("dir")),
      stored("eventsTable", eventsTable({"../up.evt", "/abs.evt", "ok", "up/...", "ok.evt"})),
      stored("ok.evt", eventFile(2, {0x7FFFFFFF, 9}, 20)),
  };
  plans.push_back(hostile);

  DiscPlan damaged;
  damaged.files = {
      stored("menu.ard", orvex::encodeNameList({"bad.z", "good", "past.end", "far"})),
      packed("bad.z", {'a', 'b', 0x00, 0x00, 0x09, 0x80}),
      stored("good", bytesOf("good")),
      packed("al00.ard", {0x80, 'a', 0x00, 0x00, 0x03, 0x80}),
      placed(stored("past.end", bytesOf("xx")), std::nullopt, 5000),
      placed(stored("far", bytesOf("far")), 0xFFFFFFF0u, std::nullopt),
  };
  plans.push_back(damaged);

  DiscPlan noMarker;
  noMarker.bootMarker = false;
  noMarker.baseSector = 0;
  noMarker.files = {placed(stored("menu.ard", orvex::encodeNameList({"f"})), 2, std::nullopt),
                    placed(stored("f", bytesOf("found")), 3, std::nullopt)};
  plans.push_back(noMarker);
  return plans;
}

void wholeRunSeeds(SeedWriter& out) {
  bool twice = false;
  for (const DiscPlan& plan : discPlans()) {
    out.add(orvex::fuzz::encodeDescribedInput(plan, twice));
    out.add(orvex::fuzz::encodeRawInput(orvex::buildDisc(orvex::fuzz::toBuilder(plan)), !twice));
    twice = !twice;
  }
}

// A names file, patterns, and discs with a list no name reads and names in
// their files.
void namesSeeds(SeedWriter& out) {
  const auto prefixed = [](uint8_t part, const std::string& text) {
    Bytes seed = {part};
    seed.insert(seed.end(), text.begin(), text.end());
    return seed;
  };
  out.add(prefixed(0, "# names\r\ndata/a.bin\nshadowed\t#3\n\\x41\\n\\\\b\nbad\\q\n"));
  for (const char* pattern : {"x[0-9]{2}.bin", "{map,tile}?", "a*b", "\\?[ab]{1,3}"})
    out.add(prefixed(1, pattern));
  orvex::fuzz::DiscPlan plan;
  plan.files.push_back({"menu.ard", false, orvex::encodeNameList({"s.txt"}), {}, {}});
  plan.files.push_back(
      {"s.txt", false, orvex::testing::bytesOf("load maps/ab.map and abc"), {}, {}});
  plan.files.push_back({"x.lst", false, orvex::encodeNameList({"maps/ab.map"}), {}, {}});
  plan.files.push_back({"maps/ab.map", false, orvex::testing::bytesOf("map"), {}, {}});
  plan.files.push_back({"ab", false, orvex::testing::bytesOf("guessed"), {}, {}});
  Bytes disc = {2};
  const Bytes described = orvex::fuzz::encodeDescribedInput(plan, false);
  disc.insert(disc.end(), described.begin(), described.end());
  out.add(disc);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: make_seeds DIR\n");
    return 2;
  }
  const fs::path root = argv[1];
  SeedWriter decode(root, "fuzz_decode");
  decodeSeeds(decode);
  SeedWriter roundTrip(root, "fuzz_round_trip");
  roundTripSeeds(roundTrip);
  SeedWriter nameList(root, "fuzz_name_list");
  nameListSeeds(nameList);
  SeedWriter eventFile(root, "fuzz_event_file");
  eventFileSeeds(eventFile);
  SeedWriter wholeRun(root, "fuzz_whole_run");
  wholeRunSeeds(wholeRun);
  SeedWriter names(root, "fuzz_names");
  namesSeeds(names);
  return 0;
}
