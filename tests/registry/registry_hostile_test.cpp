// Registry files under a root where someone plants links, FIFOs and damaged or leftover
// files: saves are never redirected or blocked, leftovers of killed saves go away, and a
// damaged file is read once until it changes.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "fusion/template_model.h"
#include "registry/registry_file.h"
#include "registry/temporary_files.h"

namespace vm {
namespace {

namespace fs = std::filesystem;

class HostileRoot : public ::testing::Test {
 protected:
  void SetUp() override {
    const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
    base_ = fs::temp_directory_path() / ("vm_hostile_" + std::to_string(::getpid()) + "_" + info->name());
    fs::remove_all(base_);
    fs::create_directories(base_ / "root");
    fs::create_directories(base_ / "outside");
    learn_template(device_for(registry_, kAid), TemplateId{24}, "S\x01", {"v"});
  }
  void TearDown() override { fs::remove_all(base_); }

  std::string root() const { return (base_ / "root").string(); }
  fs::path device_file() const { return registry_file_path(root(), kAid); }
  fs::path directory() const { return device_file().parent_path(); }

  static std::string read(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
  }
  static void write(const fs::path& path, std::string_view text) {
    std::ofstream(path, std::ios::binary | std::ios::trunc) << text;
  }
  // Sets the modification time of `path` (not of a link's target) `seconds` into the past.
  static void age(const fs::path& path, long seconds) {
    const timespec times[2] = {{::time(nullptr) - seconds, 0}, {::time(nullptr) - seconds, 0}};
    ASSERT_EQ(::utimensat(AT_FDCWD, path.c_str(), times, AT_SYMLINK_NOFOLLOW), 0);
  }

  static constexpr DeviceId kAid{305419896};
  fs::path base_;
  TemplateRegistry registry_;
};

TEST_F(HostileRoot, TemporaryNamesCannotBeGuessed) {
  std::string a, b;
  temporary_name_into("305419896.json", a);
  temporary_name_into("305419896.json", b);
  EXPECT_NE(a, b);
  ASSERT_EQ(a.size(), std::string_view("305419896.json.tmp-").size() + 16);
  EXPECT_TRUE(a.starts_with("305419896.json.tmp-"));
  EXPECT_TRUE(is_temporary_name(a));
  EXPECT_FALSE(is_temporary_name("305419896.json"));
  EXPECT_FALSE(is_temporary_name(".json.tmp-0"));
}

// A link or a FIFO at the temporary name makes creating it fail at once: the link's target
// is not written and the FIFO does not block.
TEST_F(HostileRoot, PlantedLinkOrFifoAtTheTemporaryNameIsRefused) {
  fs::create_directories(directory());
  const fs::path victim = base_ / "outside" / "victim";
  write(victim, "precious");
  const fs::path link = directory() / "305419896.json.tmp-link";
  fs::create_symlink(victim, link);
  EXPECT_EQ(create_temporary(AT_FDCWD, link.string()), -1);
  const fs::path dangling = directory() / "305419896.json.tmp-dangling";
  fs::create_symlink(base_ / "outside" / "new", dangling);
  EXPECT_EQ(create_temporary(AT_FDCWD, dangling.string()), -1);
  const fs::path fifo = directory() / "305419896.json.tmp-fifo";
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  EXPECT_EQ(create_temporary(AT_FDCWD, fifo.string()), -1);  // returns: a blocking open would hang here
  EXPECT_EQ(read(victim), "precious");
  EXPECT_FALSE(fs::exists(base_ / "outside" / "new"));

  const int fd = create_temporary(AT_FDCWD, (directory() / "305419896.json.tmp-fresh").string());
  ASSERT_GE(fd, 0);
  EXPECT_NE(::fcntl(fd, F_GETFD) & FD_CLOEXEC, 0);
  ::close(fd);
}

// The names the library used before (pid and thread id) are predictable: links and FIFOs
// planted there change nothing, and the save still lands.
TEST_F(HostileRoot, SaveIgnoresWhatIsPlantedAtPredictableNames) {
  fs::create_directories(directory());
  const fs::path victim = base_ / "outside" / "victim";
  write(victim, "precious");
  const std::string stem = "305419896.json.tmp-" + std::to_string(::getpid()) + "-";
  fs::create_symlink(victim, directory() / (stem + std::to_string(::gettid())));
  ASSERT_EQ(::mkfifo((directory() / (stem + "1")).c_str(), 0600), 0);
  save_device_file(registry_, kAid, root());
  EXPECT_EQ(read(victim), "precious");
  EXPECT_NE(read(device_file()).find("\"sig\": \"S\\u0001\""), std::string::npos);
}

// Links planted for the device's directories or its file lead neither a save nor a load out
// of the root: the save fails (its directory is a link) or replaces the link itself.
TEST_F(HostileRoot, LinksBelowTheRootAreNeverFollowed) {
  const fs::path outside = base_ / "outside";
  write(outside / "305419896.json", R"({"templates":{"30":{"sig":"planted"}}})");
  fs::create_directories(directory().parent_path());
  fs::create_directory_symlink(outside, directory());  // root/03/05 -> outside
  TemplateRegistry loaded;
  load_device_file(loaded, kAid, root());
  EXPECT_TRUE(loaded.devices.empty());
  save_device_file(registry_, kAid, root());
  EXPECT_EQ(read(outside / "305419896.json"), R"({"templates":{"30":{"sig":"planted"}}})");
  std::size_t entries = 0;
  for ([[maybe_unused]] const auto& e : fs::directory_iterator(outside)) ++entries;
  EXPECT_EQ(entries, 1u);  // nothing written beside it

  fs::remove(directory());
  fs::create_directories(directory());
  fs::create_symlink(outside / "305419896.json", device_file());  // the file itself a link
  load_device_file(loaded, kAid, root());
  EXPECT_TRUE(loaded.devices.empty());
  save_device_file(registry_, kAid, root());
  EXPECT_FALSE(fs::is_symlink(device_file()));
  EXPECT_EQ(read(outside / "305419896.json"), R"({"templates":{"30":{"sig":"planted"}}})");
  load_device_file(loaded, kAid, root());
  EXPECT_EQ(loaded.devices.count(kAid), 1u);
}

TEST_F(HostileRoot, SaveRemovesLeftoverTemporaryFilesNoSaveOwns) {
  fs::create_directories(directory());
  const fs::path victim = base_ / "outside" / "victim";
  write(victim, "precious");
  const fs::path old_complete = directory() / "305419896.json.tmp-4242-4242";
  write(old_complete, R"({"templates":{"30":{"sig":"left over"}}})");
  age(old_complete, 3600);
  const fs::path old_other_device = directory() / "305419897.json.tmp-0123456789abcdef";
  write(old_other_device, "{");
  age(old_other_device, 120);
  const fs::path old_link = directory() / "305419896.json.tmp-link";
  fs::create_symlink(victim, old_link);
  age(old_link, 120);
  const fs::path young = directory() / "305419896.json.tmp-fedcba9876543210";  // a save may own it
  write(young, "{");
  const fs::path unrelated = directory() / "notes.txt";
  write(unrelated, "mine");
  age(unrelated, 3600);

  // Loading never reads a temporary file, complete or not.
  TemplateRegistry fresh;
  load_device_file(fresh, kAid, root());
  EXPECT_TRUE(fresh.devices.empty());

  save_device_file(registry_, kAid, root());
  EXPECT_FALSE(fs::exists(fs::symlink_status(old_complete)));
  EXPECT_FALSE(fs::exists(fs::symlink_status(old_other_device)));
  EXPECT_FALSE(fs::exists(fs::symlink_status(old_link)));
  EXPECT_TRUE(fs::exists(young));
  EXPECT_TRUE(fs::exists(unrelated));
  EXPECT_EQ(read(victim), "precious");
  std::size_t entries = 0;
  for ([[maybe_unused]] const auto& e : fs::directory_iterator(directory())) ++entries;
  EXPECT_EQ(entries, 3u);  // the device's file, the young temporary file, notes.txt
}

// Bytes this process has read from files so far.
std::uint64_t bytes_read() {
  std::ifstream io("/proc/self/io");
  std::string key;
  std::uint64_t value = 0;
  while (io >> key >> value)
    if (key == "rchar:") return value;
  return 0;
}

TEST_F(HostileRoot, DamagedFileIsReadOnceUntilItChanges) {
  fs::create_directories(directory());
  std::string damaged = R"({"templates":{"24":{"sig":")" + std::string(1 << 20, 'x');  // cut short
  write(device_file(), damaged);
  TemplateRegistry receiver;
  const std::uint64_t before = bytes_read();
  load_device_file(receiver, kAid, root());
  const std::uint64_t first = bytes_read() - before;
  for (int i = 0; i < 10; ++i) load_device_file(receiver, kAid, root());
  const std::uint64_t again = bytes_read() - before - first;
  EXPECT_GE(first, damaged.size());
  EXPECT_LT(again, damaged.size());  // none of the ten loads read the file
  EXPECT_TRUE(receiver.devices.empty());

  // Mended (another size), it is read again and loads.
  write(device_file(), R"({"templates":{"26":{"sig":"mended"}}})");
  load_device_file(receiver, kAid, root());
  ASSERT_EQ(receiver.devices.count(kAid), 1u);
  EXPECT_EQ(receiver.devices.at(kAid).tid_to_sig.at(TemplateId{26}), "mended");

  // Replaced by a save of another process (a new file renamed over it): read again too.
  TemplateRegistry other;
  write(device_file(), "{");
  load_device_file(other, kAid, root());
  save_device_file(registry_, kAid, root());
  load_device_file(other, kAid, root());
  EXPECT_EQ(other.devices.count(kAid), 1u);
}

}  // namespace
}  // namespace vm
