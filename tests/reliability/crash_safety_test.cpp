// Crash safety of registry files: a process killed (SIGKILL) at any moment while saving a
// device's file leaves the old file or the new one, whole; damaged files of every kind
// (empty, cut short, not JSON, wrong types, huge, not regular) are ignored without a crash,
// without reading what is too large, and without memory growing from one load to the next.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <map>
#include <random>
#include <string>
#include <thread>

#include "allocation_meter.h"
#include "fusion/template_model.h"
#include "registry/registry_file.h"
#include "registry/registry_text.h"

namespace vm {
namespace {

namespace fs = std::filesystem;
constexpr DeviceId kAid{305419896};

class RegistryDir : public ::testing::Test {
 protected:
  void SetUp() override {
    const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
    root_ = fs::temp_directory_path() / ("vm_crash_" + std::to_string(::getpid()) + "_" + info->name());
    fs::remove_all(root_);
    fs::create_directories(root_);
  }
  void TearDown() override { fs::remove_all(root_); }

  std::string root() const { return root_.string(); }
  fs::path file() const { return registry_file_path(root(), kAid); }
  void put_file(std::string_view text) const {
    fs::create_directories(file().parent_path());
    std::ofstream(file(), std::ios::binary | std::ios::trunc) << text;
  }
  // The device's templates as loaded from its file, or "none".
  std::string load() const {
    TemplateRegistry r;
    load_device_file(r, kAid, root());
    const DeviceTemplates* d = find_device(r, kAid);
    if (d == nullptr) return "none";
    std::map<std::uint32_t, std::string> sorted;
    for (const auto& [tid, sig] : d->tid_to_sig) {
      std::string& line = sorted[raw(tid)];
      line = sig;
      if (auto v = d->last_vals.find(tid); v != d->last_vals.end())
        for (const auto& value : v->second) line += "," + value;
    }
    std::string out;
    for (const auto& [tid, line] : sorted) out += std::to_string(tid) + "=" + line + ";";
    return out;
  }

  fs::path root_;
};

TemplateRegistry registry_with(int templates, std::size_t value_size, char fill) {
  TemplateRegistry r;
  DeviceTemplates& d = device_for(r, kAid);
  for (int i = 0; i < templates; ++i) {
    const std::string sig = "dev.{TS}|s" + std::to_string(i) + ">\x01:\x01|";
    (void)assign_tid(d, sig);
    d.last_vals[TemplateId{static_cast<std::uint32_t>(24 + i)}] = {std::string(value_size, fill), "v"};
  }
  return r;
}

// Two contents of one file: a small one and one of about 200 KB, whose write takes long
// enough to be interrupted half-way often.
TEST_F(RegistryDir, SavesKilledAtRandomMomentsLeaveTheOldOrTheNewFileWhole) {
  const TemplateRegistry small = registry_with(1, 4, 'a');
  const TemplateRegistry large = registry_with(40, 4000, 'b');
  save_device_file(small, kAid, root());
  const std::string small_text = load();
  save_device_file(large, kAid, root());
  const std::string large_text = load();
  ASSERT_NE(small_text, "none");
  ASSERT_NE(large_text, "none");

  const unsigned seed = std::random_device{}();
  SCOPED_TRACE("seed " + std::to_string(seed));
  std::mt19937 rng(seed);
  std::map<std::string, int> seen;
  for (int kill = 0; kill < 60; ++kill) {
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
      for (;;) {
        save_device_file(large, kAid, root());
        save_device_file(small, kAid, root());
      }
    }
    std::this_thread::sleep_for(std::chrono::microseconds(rng() % 4000));
    ASSERT_EQ(::kill(child, SIGKILL), 0);
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFSIGNALED(status));
    const std::string now = load();
    ASSERT_TRUE(now == small_text || now == large_text) << "after kill " << kill << " the file loads as " << now;
    ++seen[now == small_text ? "small" : "large"];
  }
  std::printf("after 60 kills: %d small, %d large\n", seen["small"], seen["large"]);
}

TEST_F(RegistryDir, DamagedFilesAreIgnored) {
  std::string good;
  append_registry_text(good, kAid, *find_device(registry_with(2, 3, 'x'), kAid));
  put_file(good);
  ASSERT_NE(load(), "none");

  // Every proper prefix, as a write cut short leaves it: never a whole JSON object.
  for (std::size_t n = 0; n < good.size(); ++n) {
    put_file(good.substr(0, n));
    ASSERT_EQ(load(), "none") << "cut at " << n;
  }
  static const char* const kDamaged[] = {
      "",                                                       // empty
      "not json",                                               // not JSON
      "{\"aid\":7,\"templates\":{}}",                           // aid a number
      "{\"templates\":{\"24\":{\"sig\":null}}}",                // sig null
      "{\"templates\":{\"24\":{\"sig\":\"s\",\"last_vals_bin\":\"QQ==\"}}}",  // not an array
      "{\"templates\":{\"24\":{\"last_vals_bin\":[\"QQ==\"]}}}",              // sig missing
      "{\"templates\":{\"24\":{\"sig\":\"s\",\"sig\":\"t\"}}}",              // sig twice
      "{\"templates\":[]}",                                     // templates an array
      "{\"templates\":{\"24\":{\"sig\":\"s\"}}} x",             // trailing bytes
      "{\"templates\":{\"24\":{\"sig\":\"s\\ud800\"}}}",         // lone surrogate
      "{\"templates\":{\"24\":{\"sig\":\"\xff\"}}}",             // not UTF-8
      "{\"templates\":{\"24\":{\"sig\":\"s\"}},\"n\":1e999}",   // number out of range
      "\xEF\xBB\xBF{}",                                         // byte order mark
  };
  for (const char* text : kDamaged) {
    put_file(text);
    EXPECT_EQ(load(), "none") << text;
  }
  // Any single byte changed: loads or is ignored, never a crash.
  for (std::size_t i = 0; i < good.size(); ++i) {
    std::string flipped = good;
    flipped[i] = static_cast<char>(flipped[i] ^ 0x5A);
    put_file(flipped);
    (void)load();
  }
}

TEST_F(RegistryDir, FilesThatAreNotRegularAreIgnoredWithoutBlocking) {
  fs::create_directories(file().parent_path());
  ASSERT_EQ(::mkfifo(file().c_str(), 0600), 0);  // a reader would block on a FIFO
  EXPECT_EQ(load(), "none");
  fs::remove(file());
  fs::create_symlink("/dev/zero", file());  // endless
  EXPECT_EQ(load(), "none");
  fs::remove(file());
  fs::create_directory(file());
  EXPECT_EQ(load(), "none");
}

// Huge or deeply nested files: bounded memory, nothing kept from one load to the next.
TEST_F(RegistryDir, HugeFilesAreIgnoredWithinBoundedMemory) {
  fs::create_directories(file().parent_path());
  {
    // A sparse gigabyte: beyond the size limit, so it is not read at all.
    const int fd = ::open(file().c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(::ftruncate(fd, off_t{1} << 30), 0);
    ::close(fd);
    const std::size_t before = meter::live;
    meter::reset();
    EXPECT_EQ(load(), "none");
    if (meter::on) {
      EXPECT_LT(meter::largest.load(), std::size_t{1} << 20);
      EXPECT_LT(meter::peak_growth(before), std::size_t{1} << 20);
    }
  }
  const std::string nested = std::string(100'000, '[') + std::string(100'000, ']');
  const std::string brackets(std::size_t{4} << 20, '[');
  const std::string long_string = "{\"templates\":{\"24\":{\"sig\":\"" + std::string(std::size_t{4} << 20, 's') + "\",\"x\":}}}";
  for (const std::string* text : {&nested, &brackets, &long_string}) {
    put_file(*text);
    EXPECT_EQ(load(), "none");  // first load: the thread's parser may settle in
    const std::size_t before = meter::live;
    meter::reset();
    for (int i = 0; i < 20; ++i) EXPECT_EQ(load(), "none");
    if (!meter::on) continue;
    EXPECT_LT(meter::peak_growth(before), 40 * text->size()) << "a file of " << text->size() << " bytes";
    EXPECT_LE(meter::live.load(), before + 4096) << "memory kept after loads of a file of " << text->size() << " bytes";
  }
}

}  // namespace
}  // namespace vm
