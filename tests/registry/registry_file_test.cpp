#include <gtest/gtest.h>

#include <grp.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <random>
#include <sstream>
#include <thread>

#include "fusion/template_model.h"
#include "registry/directory_sync.h"
#include "registry/failed_saves.h"
#include "registry/registry_file.h"
#include "wire/utf8.h"

namespace vm {
namespace {

namespace fs = std::filesystem;

// A fresh directory per test, removed afterwards.
class RegistryFiles : public ::testing::Test {
 protected:
  void SetUp() override {
    const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
    root_ = fs::temp_directory_path() /
            ("vm_registry_" + std::to_string(::getpid()) + "_" + info->name());
    fs::remove_all(root_);
    fs::create_directories(root_);
  }
  void TearDown() override { fs::remove_all(root_); }

  std::string root() const { return root_.string(); }

  void put_file(DeviceId aid, std::string_view text) const {
    const fs::path path = registry_file_path(root(), aid);
    fs::create_directories(path.parent_path());
    std::ofstream(path, std::ios::binary) << text;
  }

  std::string file_text(DeviceId aid) const {
    std::ifstream in(registry_file_path(root(), aid), std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
  }

  fs::path root_;
};

// One line per device: tid=sig[values] for each template by tid, then sig>tid for each
// entry of sig_to_tid, then next_tid. Values without a last_vals entry show no brackets.
std::string describe(const DeviceTemplates& d) {
  std::string out;
  std::map<std::uint32_t, std::string> tids;
  for (const auto& [tid, sig] : d.tid_to_sig) tids[raw(tid)] = sig;
  for (const auto& [tid, sig] : tids) {
    out += std::to_string(tid) + "=" + sig;
    if (auto v = d.last_vals.find(TemplateId{tid}); v != d.last_vals.end()) {
      out += "[";
      for (std::size_t i = 0; i < v->second.size(); ++i) out += (i ? "," : "") + v->second[i];
      out += "]";
    }
    out += " ";
  }
  out += "|";
  std::map<std::string, std::uint32_t> sigs;
  for (const auto& [sig, tid] : d.sig_to_tid) sigs[sig] = raw(tid);
  for (const auto& [sig, tid] : sigs) out += " " + sig + ">" + std::to_string(tid);
  return out + " | next " + std::to_string(d.next_tid);
}

TEST(RegistryFilePath, SpreadsDevicesOverTwoDirectoryLevels) {
  static const struct { std::string_view root; std::uint32_t aid; std::string_view path; } kCases[] = {
      {"r", 0, "r/00/00/0.json"},
      {"r", 7, "r/00/00/7.json"},
      {"r", 123456, "r/00/00/123456.json"},
      {"r", 305419896, "r/03/05/305419896.json"},
      {"r", 4294967295, "r/42/94/4294967295.json"},
      {"/var/reg/", 1000000000, "/var/reg/10/00/1000000000.json"},
      {"/", 99, "/00/00/99.json"},
      {"", 7, "00/00/7.json"},
  };
  for (const auto& c : kCases) EXPECT_EQ(registry_file_path(c.root, DeviceId{c.aid}), c.path);
}

// The documented file of a device with one template, byte for byte.
TEST_F(RegistryFiles, SavesTheDocumentedLayout) {
  TemplateRegistry registry;
  learn_template(device_for(registry, DeviceId{305419896}), TemplateId{24}, "SIG", {"A", "BC"});
  save_device_file(registry, DeviceId{305419896}, root());
  EXPECT_EQ(file_text(DeviceId{305419896}),
            "{\n"
            "  \"aid\": \"305419896\",\n"
            "  \"templates\": {\n"
            "    \"24\": {\n"
            "      \"sig\": \"SIG\",\n"
            "      \"last_vals_bin\": [\n"
            "        \"QQ==\",\n"
            "        \"QkM=\"\n"
            "      ]\n"
            "    }\n"
            "  }\n"
            "}");
  // Only the device's file is left: the temporary file was renamed over it.
  std::vector<std::string> names;
  for (const auto& e : fs::recursive_directory_iterator(root_))
    if (e.is_regular_file()) names.push_back(e.path().filename().string());
  EXPECT_EQ(names, std::vector<std::string>{"305419896.json"});
}

// The packets a device remembers (applied_packets.h) travel in the file as one extra
// member, written only when there are any; a reader that does not know it (this one, for
// members it does not know) skips it.
TEST_F(RegistryFiles, AppliedPacketsRoundTripAndFilesWithoutThemLoadAsBefore) {
  const DeviceId aid{305419896};
  TemplateRegistry plain;
  learn_template(device_for(plain, aid), TemplateId{24}, "SIG", {"A", "BC"});
  save_device_file(plain, aid, root());
  const std::string without = file_text(aid);
  EXPECT_EQ(without.find("applied_packets"), std::string::npos);

  TemplateRegistry remembering;
  DeviceTemplates& device = device_for(remembering, aid);
  learn_template(device, TemplateId{24}, "SIG", {"A", "BC"});
  raise_next_tid(device, TemplateId{24});  // as a load sets it
  std::vector<std::uint64_t> digests;
  for (std::uint64_t i = 0; i < kAppliedPacketWindow + 3; ++i) {
    digests.push_back(i == 0 ? 0 : packet_digest(std::to_string(i)));  // a digest of 0 keeps its 16 digits
    device.applied.add(digests.back());
  }
  save_device_file(remembering, aid, root());
  const std::string with = file_text(aid);
  EXPECT_EQ(with.substr(0, without.size() - 2), without.substr(0, without.size() - 2)) << "templates as before";
  EXPECT_NE(with.find(",\n  \"applied_packets\": [\n"), std::string::npos) << with;

  TemplateRegistry loaded;
  load_device_file(loaded, aid, root());
  ASSERT_NE(find_device(loaded, aid), nullptr);
  EXPECT_EQ(describe(*find_device(loaded, aid)), describe(device));
  std::vector<std::uint64_t> kept;
  find_device(loaded, aid)->applied.append_oldest_first(kept);
  EXPECT_EQ(kept, std::vector<std::uint64_t>(digests.end() - kAppliedPacketWindow, digests.end()));
  save_device_file(loaded, aid, root());
  EXPECT_EQ(file_text(aid), with) << "a loaded file is written back the same";

  // Files without the member, or with one this reader cannot use, load their templates.
  const std::string templates = "\"templates\": {\"24\": {\"sig\": \"SIG\", \"last_vals_bin\": [\"QQ==\"]}}";
  static const struct {
    std::string members;
    std::size_t digests;
  } kCases[] = {
      {templates, 0},
      {templates + ", \"applied_packets\": [\"00000000000000ff\", \"00000000000000FF\"]", 2},
      {templates + ", \"applied_packets\": [\"ff\", 7, \"00000000000000ffff\", \"000000000000000g\", \"-000000000000001\"]", 0},
      {templates + ", \"applied_packets\": {\"a\": 1}", 0},
      {templates + ", \"members_of_later_versions\": {\"x\": [1, 2]}", 0},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.members);
    put_file(aid, "{" + c.members + "}");
    TemplateRegistry r;
    load_device_file(r, aid, root());
    ASSERT_NE(find_device(r, aid), nullptr);
    EXPECT_EQ(describe(*find_device(r, aid)), "24=SIG[A] | SIG>24 | next 25");
    std::vector<std::uint64_t> got;
    find_device(r, aid)->applied.append_oldest_first(got);
    EXPECT_EQ(got.size(), c.digests);
  }
}

// Durable saves note the directories whose entries changed, those they made included.
TEST_F(RegistryFiles, DurableSavesNoteTheDirectoriesToSync) {
  TemplateRegistry registry;
  learn_template(device_for(registry, DeviceId{7}), TemplateId{24}, "SIG", {"A"});
  DirectorySyncs syncs;
  EXPECT_TRUE(save_device_file(registry, DeviceId{7}, root(), &syncs));
  EXPECT_TRUE(syncs.sync_all());
  EXPECT_NE(file_text(DeviceId{7}).find("\"SIG\""), std::string::npos);
  EXPECT_FALSE(save_device_file(registry, DeviceId{8}, root(), &syncs)) << "no such device";
  syncs.add((root_ / "gone").string());
  EXPECT_FALSE(syncs.sync_all()) << "a directory that cannot be opened";
  EXPECT_TRUE(syncs.sync_all()) << "forgotten once synced";
}

TEST_F(RegistryFiles, SavesEmptyContainersEscapesAndNonUtf8Signatures) {
  TemplateRegistry registry;
  DeviceTemplates& d = device_for(registry, DeviceId{7});
  d.tid_to_sig[TemplateId{30}] = "x.{TS}|\x01|\"q\"";  // no last_vals entry
  d.tid_to_sig[TemplateId{25}] = "bad\xFF";            // not UTF-8: written empty
  d.last_vals[TemplateId{25}] = {};
  save_device_file(registry, DeviceId{7}, root() + "/");
  EXPECT_EQ(file_text(DeviceId{7}),
            "{\n"
            "  \"aid\": \"7\",\n"
            "  \"templates\": {\n"
            "    \"25\": {\n"
            "      \"sig\": \"\",\n"
            "      \"last_vals_bin\": []\n"
            "    },\n"
            "    \"30\": {\n"
            "      \"sig\": \"x.{TS}|\\u0001|\\\"q\\\"\",\n"
            "      \"last_vals_bin\": []\n"
            "    }\n"
            "  }\n"
            "}");

  device_for(registry, DeviceId{8});
  save_device_file(registry, DeviceId{8}, root());
  EXPECT_EQ(file_text(DeviceId{8}), "{\n  \"aid\": \"8\",\n  \"templates\": {}\n}");
}

TEST_F(RegistryFiles, SaveWritesNothingWithoutRootOrDevice) {
  TemplateRegistry registry;
  learn_template(device_for(registry, DeviceId{7}), TemplateId{24}, "S", {"v"});
  save_device_file(registry, DeviceId{7}, std::nullopt);
  save_device_file(registry, DeviceId{8}, root());  // no entry for device 8
  save_device_file(TemplateRegistry{}, DeviceId{7}, root());
  EXPECT_TRUE(fs::is_empty(root_));

  // An empty root is "no file access", not the current directory.
  const fs::path cwd = fs::current_path();
  fs::current_path(root_);
  save_device_file(registry, DeviceId{7}, "");
  put_file(DeviceId{9}, R"({"templates":{"24":{"sig":"S"}}})");
  ASSERT_TRUE(fs::exists(fs::path("00/00/9.json")));
  TemplateRegistry loaded;
  load_device_file(loaded, DeviceId{9}, "");
  fs::current_path(cwd);
  EXPECT_FALSE(fs::exists(root_ / "00/00/7.json"));
  EXPECT_TRUE(loaded.devices.empty());
}

TEST_F(RegistryFiles, SaveFailuresAreSilent) {
  TemplateRegistry registry;
  learn_template(device_for(registry, DeviceId{7}), TemplateId{24}, "S", {"v"});
  const std::uint64_t before = failed_save_count();
  std::ofstream(root_ / "plain_file") << "x";
  save_device_file(registry, DeviceId{7}, (root_ / "plain_file").string());  // root is a file
  EXPECT_TRUE(fs::is_regular_file(root_ / "plain_file"));

  // A directory where the device's file belongs: the rename fails, nothing is left behind.
  fs::create_directories(registry_file_path(root(), DeviceId{7}));
  save_device_file(registry, DeviceId{7}, root());
  EXPECT_TRUE(fs::is_directory(registry_file_path(root(), DeviceId{7})));
  int files = 0;
  for (const auto& e : fs::recursive_directory_iterator(root_)) files += e.is_regular_file();
  EXPECT_EQ(files, 1);  // plain_file only
  EXPECT_EQ(failed_save_count() - before, 2u);  // silent to the caller, not to the operator
}

// The description of what a registry of its own loads for `aid` under `root`, or "none".
std::string loaded_fresh(const std::string& root, DeviceId aid) {
  TemplateRegistry registry;
  load_device_file(registry, aid, root);
  const DeviceTemplates* d = find_device(registry, aid);
  return d ? describe(*d) : "none";
}

// Lowers the limit on file sizes for its scope, so that every write fails as on a full
// disk (for root too), with the signal such a write raises ignored.
class NoRoomForFiles {
 public:
  NoRoomForFiles() {
    ::getrlimit(RLIMIT_FSIZE, &saved_);
    handler_ = std::signal(SIGXFSZ, SIG_IGN);
    const rlimit none{0, saved_.rlim_max};
    ::setrlimit(RLIMIT_FSIZE, &none);
  }
  ~NoRoomForFiles() {
    ::setrlimit(RLIMIT_FSIZE, &saved_);
    std::signal(SIGXFSZ, handler_);
  }
  NoRoomForFiles(const NoRoomForFiles&) = delete;
  NoRoomForFiles& operator=(const NoRoomForFiles&) = delete;

 private:
  rlimit saved_{};
  void (*handler_)(int) = SIG_DFL;
};

// A save that cannot write removes the device's old file, which memory has left behind;
// nothing remembers the failure, so the next change saves again.
TEST_F(RegistryFiles, FailedWriteRemovesTheOldFileAndTheNextChangeSavesAgain) {
  const DeviceId aid{7};
  TemplateRegistry registry;
  learn_template(device_for(registry, aid), TemplateId{24}, "S", {"old"});
  save_device_file(registry, aid, root());
  ASSERT_EQ(loaded_fresh(root(), aid), "24=S[old] | S>24 | next 25");

  learn_template(device_for(registry, aid), TemplateId{24}, "S", {"new"});
  const std::uint64_t before = failed_save_count();
  {
    const NoRoomForFiles full_disk;
    save_device_file(registry, aid, root());
  }
  EXPECT_EQ(failed_save_count() - before, 1u);
  EXPECT_FALSE(fs::exists(registry_file_path(root(), aid)));
  EXPECT_TRUE(fs::is_empty(fs::path(registry_file_path(root(), aid)).parent_path()));  // no temporary left
  EXPECT_EQ(loaded_fresh(root(), aid), "none");

  learn_template(device_for(registry, aid), TemplateId{24}, "S", {"newest"});
  save_device_file(registry, aid, root());
  EXPECT_EQ(failed_save_count() - before, 1u);
  EXPECT_EQ(loaded_fresh(root(), aid), "24=S[newest] | S>24 | next 25");
}

// Runs `scenario` in a child process that gave up root's right to write anywhere, so that
// directory permissions hold; answers the failures it reported, or why it did not finish.
std::string in_unprivileged_child(const std::function<std::string()>& scenario) {
  int pipe_ends[2];
  if (::pipe(pipe_ends) != 0) return "no pipe";
  const pid_t child = ::fork();
  if (child == 0) {
    ::close(pipe_ends[0]);
    std::string failures = "could not give up root";
    if (::geteuid() != 0 || (::setgroups(0, nullptr) == 0 && ::setgid(65534) == 0 && ::setuid(65534) == 0))
      failures = scenario();
    const bool sent = ::write(pipe_ends[1], failures.data(), failures.size()) == ssize_t(failures.size());
    ::_exit(sent ? 0 : 1);
  }
  ::close(pipe_ends[1]);
  std::string failures;
  char chunk[512];
  for (ssize_t n; (n = ::read(pipe_ends[0], chunk, sizeof chunk)) > 0;) failures.append(chunk, std::size_t(n));
  ::close(pipe_ends[0]);
  int status = 0;
  if (child < 0 || ::waitpid(child, &status, 0) != child || !WIFEXITED(status) || WEXITSTATUS(status) != 0)
    failures += "the child did not finish";
  return failures;
}

// Obstacles that make a save fail and keep the device's old file where it was: it must
// not be loaded again by this process, until the next change saves the device anew.
TEST_F(RegistryFiles, FileThatAFailedSaveLeftIsNotLoadedAgain) {
  struct Obstacle {
    const char* what;
    std::uint32_t aid;  // each in a directory of its own
    std::function<void(const fs::path& directory)> put, clear;
  };
  const auto aside = [](const fs::path& directory) { return fs::path(directory.string() + ".aside"); };
  const Obstacle kObstacles[] = {
      {"the device's directory replaced by a file", 1000000007,
       [&](const fs::path& d) {
         fs::rename(d, aside(d));
         std::ofstream(d) << "x";
       },
       [&](const fs::path& d) {
         fs::remove(d);
         fs::rename(aside(d), d);
       }},
      {"the device's directory read-only", 2000000007,
       [](const fs::path& d) { fs::permissions(d, fs::perms::owner_read | fs::perms::owner_exec); },
       [](const fs::path& d) { fs::permissions(d, fs::perms::owner_all); }},
  };
  fs::permissions(root_, fs::perms::all);  // the child writes here as another user
  const std::string failures = in_unprivileged_child([&] {
    std::string found;
    const auto expect = [&](const std::string& got, const std::string& want, const char* what, const char* step) {
      if (got != want) found += std::string(what) + ", " + step + ": got " + got + ", want " + want + "\n";
    };
    for (const Obstacle& o : kObstacles) {
      const DeviceId aid{o.aid};
      const fs::path file = registry_file_path(root(), aid);
      TemplateRegistry registry;
      learn_template(device_for(registry, aid), TemplateId{24}, "S", {"old"});
      save_device_file(registry, aid, root());
      const std::string old_text = file_text(aid);

      learn_template(device_for(registry, aid), TemplateId{24}, "S", {"new"});
      const std::uint64_t before = failed_save_count();
      o.put(file.parent_path());
      save_device_file(registry, aid, root());
      o.clear(file.parent_path());
      expect(std::to_string(failed_save_count() - before), "1", o.what, "failures counted");
      expect(file_text(aid), old_text, o.what, "the old file is still there");
      expect(loaded_fresh(root(), aid), "none", o.what, "a fresh load");

      learn_template(device_for(registry, aid), TemplateId{24}, "S", {"newest"});
      save_device_file(registry, aid, root());
      expect(std::to_string(failed_save_count() - before), "1", o.what, "failures after the next save");
      expect(loaded_fresh(root(), aid), "24=S[newest] | S>24 | next 25", o.what, "a fresh load after the next save");
    }
    return found;
  });
  EXPECT_EQ(failures, "");
}

// Every reading rule of the file format, one small file each, loaded as device 7. The
// expectation is describe() of the loaded device, or "none" when no entry may be created.
TEST_F(RegistryFiles, LoadFollowsTheReadingRules) {
  static const struct { std::string_view text; std::string_view loaded; const char* rule; } kCases[] = {
      {R"({"aid":"7","templates":{"24":{"sig":"SIG","last_vals_bin":["QQ==","QkM="]}}})",
       "24=SIG[A,BC] | SIG>24 | next 25", "the documented layout"},
      {R"({"aid":"999","templates":{"24":{"sig":"S"}}})", "24=S[] | S>24 | next 25",
       "aid is not used: the file's place names the device"},
      {R"({"templates":{"24":{"sig":"S"}}} )" "\n\t\r", "24=S[] | S>24 | next 25", "white space after the value"},
      {R"({"x":[1,{"y":null}],"templates":{"24":{"sig":"S","note":{"n":[true]}}}})", "24=S[] | S>24 | next 25",
       "unknown members skipped"},
      {R"(["7",{"24":["S",["QQ=="]]}])", "24=S[A] | S>24 | next 25", "records given as arrays"},
      {R"({"templates":{"+24":{"sig":"P"}}})", "24=P[] | P>24 | next 25", "key with a plus sign"},
      {R"({"templates":{"024":{"sig":"Z"}}})", "24=Z[] | Z>24 | next 25", "key with a leading zero"},
      {R"({"templates":{"-1":{"sig":"a"}," 24":{"sig":"b"},"024x":{"sig":"c"},"":{"sig":"d"},)"
       R"("4294967296":{"sig":"e"},"+":{"sig":"f"},"++1":{"sig":"g"},"x":{"sig":"h"},"30":{"sig":"G"}}})",
       "30=G[] | G>30 | next 31", "keys that are not unsigned 32-bit decimals are skipped"},
      {R"({"templates":{"x":{"sig":"S"}}})", "none", "no usable template"},
      {R"({"templates":{"24":{"sig":"S","last_vals_bin":["QQ==","QQ","Qg=="]}}})",
       "24=S[A,B] | S>24 | next 25", "an undecodable value is dropped, the rest move up"},
      {R"({"templates":{"24":{"sig":"S","last_vals_bin":["QQ"," QQ==","QR=="]}}})",
       "24=S | S>24 | next 25", "no decodable value leaves no last_vals entry"},
      {R"({"templates":{"24":{"sig":"S","last_vals_bin":[]}}})", "24=S[] | S>24 | next 25",
       "an empty list is the empty value list of a template without values"},
      {R"({"templates":{"24":{"sig":"a"},"30":{"sig":"b"}}})", "24=a[] 30=b[] | a>24 b>30 | next 31",
       "next_tid after the largest tid"},
      {R"({"templates":{"5":{"sig":"a"}}})", "5=a[] | a>5 | next 24", "next_tid at least 24"},
      {R"({"templates":{"4294967295":{"sig":"a"}}})", "4294967295=a[] | a>4294967295 | next 4294967295",
       "next_tid saturates"},
      {R"({"templates":{"24":{"sig":"A","last_vals_bin":["QQ=="]},"24":{"sig":"B"}}})",
       "24=B[] | B>24 | next 25", "a template key given twice: the later member counts"},
      {R"({"x":1,"x":2,"templates":{"24":{"sig":"a","y":1,"y":2}}})", "24=a[] | a>24 | next 25",
       "an unnamed key given twice is skipped, unlike in a request"},
      {R"({"templates":{"24":{"sig":"a\u0001b\"\u00e9"}}})", "24=a\x01" "b\"\xC3\xA9[] | a\x01" "b\"\xC3\xA9>24 | next 25",
       "escapes resolved in signatures"},
      {"", "none", "empty file"},
      {"not json", "none", "not JSON"},
      {R"({"templates":{"24":{"sig":"S"}}} x)", "none", "trailing bytes"},
      {R"({"templates":{"24":{"sig":"S"}}}{})", "none", "a second value"},
      {R"({"templates":{"24":{"sig":"S"}})", "none", "cut short"},
      {R"({"aid":7,"templates":{"24":{"sig":"S"}}})", "none", "aid as a number"},
      {R"({"aid":null,"templates":{"24":{"sig":"S"}}})", "none", "aid as null"},
      {R"({"templates":{"24":{"sig":"S"},"25":{"last_vals_bin":[]}}})", "none", "a template without sig"},
      {R"({"templates":{"24":{"sig":null}}})", "none", "sig as null"},
      {R"({"templates":{"24":{"sig":"S","last_vals_bin":null}}})", "none", "last_vals_bin as null"},
      {R"({"templates":{"24":{"sig":"S","last_vals_bin":["QQ==",1]}}})", "none", "a value that is no string"},
      {R"({"templates":{"24":{"sig":"S","last_vals_bin":"QQ=="}}})", "none", "last_vals_bin not an array"},
      {R"({"templates":{"24":{"sig":"a","sig":"a"}}})", "none", "sig given twice"},
      {R"({"templates":{"24":{"sig":"S"}},"templates":{}})", "none", "templates given twice"},
      {R"({"aid":"7","aid":"7","templates":{"24":{"sig":"S"}}})", "none", "aid given twice"},
      {R"({"templates":[{"sig":"S"}]})", "none", "templates as an array"},
      {R"({"templates":{"24":["S",[],1]}})", "none", "a template array with too many values"},
      {R"({"templates":{"24":"S"}})", "none", "a template that is no record"},
      {"{\"templates\":{\"24\":{\"sig\":\"\xFF\"}}}", "none", "invalid UTF-8"},
      {R"({"templates":{}})", "none", "no templates"},
      {R"({"aid":"7"})", "none", "no templates member"},
      {R"({})", "none", "empty object"},
      {R"([])", "none", "empty array"},
      {R"("x")", "none", "not a record"},
  };
  for (const auto& c : kCases) {
    put_file(DeviceId{7}, c.text);
    TemplateRegistry registry;
    load_device_file(registry, DeviceId{7}, root());
    const DeviceTemplates* d = find_device(registry, DeviceId{7});
    EXPECT_EQ(d ? describe(*d) : "none", c.loaded) << c.rule << ": " << c.text;
    EXPECT_LE(registry.devices.size(), 1u);
  }
}

TEST_F(RegistryFiles, LoadReadsOnlyWhenTheDeviceIsUnknown) {
  put_file(DeviceId{7}, R"({"templates":{"24":{"sig":"file"}}})");
  TemplateRegistry registry;
  learn_template(device_for(registry, DeviceId{7}), TemplateId{40}, "memory", {"m"});
  load_device_file(registry, DeviceId{7}, root());
  EXPECT_EQ(describe(registry.devices.at(DeviceId{7})), "40=memory[m] | memory>40 | next 24");

  TemplateRegistry other;
  load_device_file(other, DeviceId{7}, std::nullopt);
  load_device_file(other, DeviceId{8}, root());  // no file
  fs::create_directories(registry_file_path(root(), DeviceId{9}));
  load_device_file(other, DeviceId{9}, root());  // a directory where the file belongs
  EXPECT_TRUE(other.devices.empty());

  // A file without a usable template creates no entry, so a later load tries again.
  put_file(DeviceId{7}, R"({"templates":{"x":{"sig":"S"}}})");
  load_device_file(other, DeviceId{7}, root());
  EXPECT_TRUE(other.devices.empty());
  put_file(DeviceId{7}, R"({"templates":{"26":{"sig":"S"}}})");
  load_device_file(other, DeviceId{7}, root());
  EXPECT_EQ(describe(other.devices.at(DeviceId{7})), "26=S[] | S>26 | next 27");
}

std::string random_bytes(std::mt19937& rng, std::size_t max_len) {
  std::string s(rng() % (max_len + 1), '\0');
  for (char& c : s) c = static_cast<char>(rng());
  return s;
}

// Valid UTF-8 with the bytes that need care: 0x01 value slots, controls, quotes, multi-byte.
std::string random_signature(std::mt19937& rng) {
  static const char* const kPieces[] = {"\x01", "{TS}", "|", ".", "\"", "\\", "\n", "\x1F", "\x7F", "/",
                                        "\xC3\xA9", "\xE2\x82\xAC", "\xF0\x9F\x98\x80", "abc", "0"};
  std::string s;
  for (std::size_t n = rng() % 12; n > 0; --n) s += kPieces[rng() % std::size(kPieces)];
  return s;
}

TEST_F(RegistryFiles, RandomDevicesSurviveSaveAndLoad) {
  const unsigned seed = std::random_device{}();
  SCOPED_TRACE("seed " + std::to_string(seed));
  std::mt19937 rng(seed);
  static const std::uint32_t kTids[] = {0, 1, 23, 24, 25, 255, 256, 70000, 4294967294, 4294967295};
  for (int round = 0; round < 200; ++round) {
    const DeviceId aid{round % 3 == 0 ? static_cast<std::uint32_t>(rng()) : static_cast<std::uint32_t>(round)};
    TemplateRegistry saved;
    DeviceTemplates& device = device_for(saved, aid);
    device.next_tid = 5;  // not stored: rebuilt on load
    for (std::size_t n = rng() % 6; n > 0; --n) {
      const TemplateId tid{rng() % 2 ? kTids[rng() % std::size(kTids)] : static_cast<std::uint32_t>(rng() % 1000)};
      const std::string sig = random_signature(rng) + "#" + std::to_string(raw(tid));  // distinct
      if (device.tid_to_sig.contains(tid)) continue;
      std::vector<std::string> values;
      for (std::size_t v = rng() % 4; v > 0; --v) values.push_back(random_bytes(rng, 20));
      learn_template(device, tid, sig, values);
      if (rng() % 5 == 0) device.last_vals.erase(tid);
    }
    save_device_file(saved, aid, root());

    // What a load must give back: the same templates, each with its value list (an empty
    // one for a template that had none), next_tid after the largest tid and at least 24.
    DeviceTemplates expected;
    for (const auto& [tid, sig] : device.tid_to_sig) {
      expected.tid_to_sig[tid] = sig;
      expected.sig_to_tid[sig] = tid;
      expected.last_vals[tid];
      raise_next_tid(expected, tid);
    }
    for (const auto& [tid, values] : device.last_vals) expected.last_vals[tid] = values;

    TemplateRegistry loaded;
    load_device_file(loaded, aid, root());
    const DeviceTemplates* got = find_device(loaded, aid);
    if (device.tid_to_sig.empty()) {
      EXPECT_EQ(got, nullptr);
      continue;
    }
    ASSERT_NE(got, nullptr);
    EXPECT_EQ(describe(*got), describe(expected));
    EXPECT_EQ(got->last_vals, expected.last_vals);  // byte-exact values, commas included
  }
}

// A loader running beside a saver (as another process would) meets either the old or the
// new file whole, never one cut short.
TEST_F(RegistryFiles, ConcurrentLoadsNeverSeeAPartialFile) {
  const DeviceId aid{42};
  TemplateRegistry small, large;
  learn_template(device_for(small, aid), TemplateId{24}, "small", {"s"});
  for (std::uint32_t t = 24; t < 2024; ++t)
    learn_template(device_for(large, aid), TemplateId{t}, "sig " + std::to_string(t), {std::string(120, 'v')});
  // The texts a whole file of each gives, taken while nothing else writes.
  const auto load_text = [&] {
    TemplateRegistry r;
    load_device_file(r, aid, root());
    const DeviceTemplates* d = find_device(r, aid);
    return d ? describe(*d) : std::string("none");
  };
  save_device_file(large, aid, root());
  const std::string large_text = load_text();
  save_device_file(small, aid, root());
  const std::string small_text = load_text();
  ASSERT_NE(small_text, "none");
  ASSERT_GT(fs::file_size(registry_file_path(root(), aid)), 0u);

  std::atomic<bool> stop{false};
  std::thread saver([&] {
    for (int i = 0; !stop.load(); ++i) save_device_file(i % 2 ? small : large, aid, root());
  });
  int seen_small = 0, seen_large = 0, broken = 0;
  for (int i = 0; i < 1000; ++i) {
    const std::string got = load_text();
    if (got == small_text) {
      ++seen_small;
    } else if (got == large_text) {
      ++seen_large;
    } else {
      ++broken;
    }
  }
  stop = true;
  saver.join();
  EXPECT_EQ(broken, 0);
  EXPECT_GT(seen_small + seen_large, 0);
}

}  // namespace
}  // namespace vm
