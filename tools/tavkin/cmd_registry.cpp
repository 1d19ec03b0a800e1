// `tavkin registry show`: a registry directory's device files in readable form.
#include <fmt/format.h>

#include <filesystem>
#include <system_error>

#include "commands.h"
#include "registry_file.h"
#include "signature_text.h"

namespace tavkin {
namespace {

int list_root(const std::string& root) {
  const auto aids = list_devices(root);
  if (aids.empty()) {
    fmt::print(stderr, "tavkin registry show: no device files under {}\n", root);
    return 1;
  }
  fmt::print("{:>10}  {:>9}  {}\n", "device", "templates", "file");
  int status = 0;
  for (const auto aid : aids) {
    std::string error;
    const auto file = read_device_file(root, aid, error);
    if (file) {
      fmt::print("{:>10}  {:>9}  {}\n", aid, file->templates.size(), file->path);
    } else {
      fmt::print("{:>10}  {:>9}  {}\n", aid, "-", error);
      status = 1;
    }
  }
  return status;
}

int show_device(const std::string& root, std::uint32_t aid) {
  std::string error;
  const auto file = read_device_file(root, aid, error);
  if (!file) {
    fmt::print(stderr, "tavkin registry show: {}\n", error);
    return 1;
  }
  fmt::print("device {}  {}  {} template{}\n", file->aid, file->path, file->templates.size(),
             file->templates.size() == 1 ? "" : "s");
  for (const auto& key : file->skipped_keys) {
    fmt::print("  (template key \"{}\" is not a template number; the library skips it)\n", printable(key));
  }
  for (const auto& t : file->templates) {
    const auto labels = slot_labels(t.sig);
    fmt::print("\ntemplate {}  {} value slot{}\n", t.tid, labels.size(), labels.size() == 1 ? "" : "s");
    fmt::print("  signature  {}\n", render_signature(t.sig));
    if (!t.last_vals.empty()) fmt::print("  last fact  {}\n", render_filled(t.sig, t.last_vals));
    const size_t rows = std::max(labels.size(), t.last_vals.size());
    for (size_t i = 0; i < rows; ++i) {
      const std::string label = i < labels.size() ? labels[i] : "(no slot)";
      const std::string value = i < t.last_vals.size() ? fmt::format("\"{}\"", printable(t.last_vals[i])) : "(none)";
      fmt::print("  {:<5} {:<24} {}\n", fmt::format("{{{}}}", i), label, value);
    }
    if (t.undecodable_values > 0) {
      fmt::print("  ({} stored value(s) are not valid Base64; the library drops them)\n", t.undecodable_values);
    }
  }
  return 0;
}

}  // namespace

int run_registry_show(const RegistryShowOptions& options) {
  namespace fs = std::filesystem;
  // A wrong directory is a wrong argument (exit 2). A relative path is also shown in full,
  // since it was looked for under the working directory.
  const fs::path root(options.root);
  std::error_code ec;
  if (!fs::is_directory(root, ec)) {
    const char* what = fs::exists(root, ec) ? "Not a directory" : "Directory does not exist";
    const fs::path where = fs::absolute(root, ec);
    if (root.is_absolute() || ec) {
      fmt::print(stderr, "tavkin registry show: {}: {}\n", what, options.root);
    } else {
      fmt::print(stderr, "tavkin registry show: {}: {} (looked for {})\n", what, options.root, where.string());
    }
    return 2;
  }
  return options.aid ? show_device(options.root, *options.aid) : list_root(options.root);
}

}  // namespace tavkin
