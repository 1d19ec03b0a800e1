// JSONTestSuite through the record reader: each document is the value of an unknown key in
// an otherwise valid request. y_ documents must be accepted, n_ documents rejected, and
// i_ documents (implementation-defined) may go either way but must not crash.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "sample_records.h"

namespace vm::json {
namespace {

namespace fs = std::filesystem;

TEST(JsonTestSuite, DocumentsAsSkippedValues) {
  const fs::path dir = VM_JSONTESTSUITE_DIR;
  // The documents live outside the repository: a plain clone has no copy of them.
  if (!fs::is_directory(dir)) {
    GTEST_SKIP() << "JSONTestSuite documents not found at " << dir << " (set VM_JSONTESTSUITE_DIR)";
  }
  int yes = 0, no = 0, either = 0;
  Reader reader;
  for (const fs::directory_entry& entry : fs::directory_iterator(dir)) {
    const std::string name = entry.path().filename().string();
    if (entry.path().extension() != ".json") continue;
    std::ifstream in(entry.path(), std::ios::binary);
    std::stringstream content;
    content << in.rdbuf();
    const std::string request = R"({"packet_b64":"QQ==","zz":)" + content.str() + "}";
    const bool accepted = read_record(reader, request, sample::kFusionDecompressReq).has_value();
    EXPECT_EQ(read_record_parsed(reader, request, sample::kFusionDecompressReq).has_value(), accepted) << name;
    sample::FusionDecompressReq direct;
    if (sample::kFusionDecompressReq.read_plain(request, direct)) {
      EXPECT_TRUE(accepted) << name;
    }
    if (name.starts_with("y_")) {
      ++yes;
      EXPECT_TRUE(accepted) << name;
    } else if (name.starts_with("n_")) {
      ++no;
      EXPECT_FALSE(accepted) << name;
    } else {
      ++either;
    }
  }
  EXPECT_GE(yes, 90);
  EXPECT_GE(no, 180);
  EXPECT_GE(either, 30);
}

}  // namespace
}  // namespace vm::json
