// Fuzz target of the settings reader and writer: a fuzzed file is read, two keys are written to a
// copy of it, and the copy must then hold exactly what was written, with every other entry as it
// was and the file's line breaks kept. Built with libFuzzer when asked for; otherwise the same
// function is replayed over the seed corpus by the ordinary test run.

#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "app/ProfileFile.h"
#include "link/AsciiCase.h"

namespace {

namespace fs = std::filesystem;
using veska::app::ProfileFile;
using veska::app::SettingsAccess;
using veska::link::SameIgnoringAsciiCase;

constexpr std::string_view kSection = "Setting";
constexpr std::string_view kIntKey = "UartPort";
constexpr std::string_view kTextKey = "m_strAPPSFileName";
constexpr std::string_view kText = "/fw/APPS/a b.img";

void Require(bool condition, const char* what) {
  if (condition) return;
  std::fprintf(stderr, "settings fuzz: %s\n", what);
  std::abort();
}

const fs::path& Folder() {
  static const fs::path folder = [] {
    fs::path path =
        fs::temp_directory_path() / ("veska-fuzz-settings-" + std::to_string(::getpid()));
    fs::create_directories(path);
    std::atexit([] {
      std::error_code ec;
      fs::remove_all(Folder(), ec);
    });
    return path;
  }();
  return folder;
}

std::string_view Trim(std::string_view text) {
  const auto blank = [](char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; };
  while (!text.empty() && blank(text.front())) text.remove_prefix(1);
  while (!text.empty() && blank(text.back())) text.remove_suffix(1);
  return text;
}

// Every section name the text mentions, as the reader would see it.
std::vector<std::string> SectionNames(std::string_view text) {
  std::vector<std::string> names;
  while (!text.empty()) {
    const std::size_t end = text.find('\n');
    const std::string_view line = Trim(text.substr(0, end));
    text = end == std::string_view::npos ? std::string_view() : text.substr(end + 1);
    if (line.size() < 2 || line.front() != '[') continue;
    const std::size_t close = line.find(']');
    if (close != std::string_view::npos) names.emplace_back(Trim(line.substr(1, close - 1)));
  }
  return names;
}

// A section's entries without the two keys the target writes.
std::vector<std::pair<std::string, std::string>> Others(const ProfileFile& profile,
                                                        std::string_view section) {
  auto entries = profile.GetSection(section);
  std::erase_if(entries, [](const auto& e) {
    return SameIgnoringAsciiCase(e.first, kIntKey) || SameIgnoringAsciiCase(e.first, kTextKey);
  });
  return entries;
}

std::string ReadAll(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string input(reinterpret_cast<const char*>(data), size);
  const fs::path file = Folder() / "fuzz.ini";
  {
    std::ofstream out(file, std::ios::binary | std::ios::trunc);
    out.write(input.data(), static_cast<std::streamsize>(input.size()));
  }

  const ProfileFile before(file, SettingsAccess::ReadOnly);
  // Reads of any file never fail and agree with each other.
  (void)before.GetInt(kSection, "m_nBaudRate", 3);
  (void)before.GetString("Ports", "COM1", "");

  const ProfileFile writer(file);
  const bool whole = input.size() <= ProfileFile::kMaxFileSize;
  Require(writer.WriteInt(kSection, kIntKey, 42) == whole, "an int write failed");
  Require(writer.WriteString(kSection, kTextKey, kText) == whole, "a text write failed");
  Require(writer.GetInt(kSection, kIntKey, -1) == 42, "memory lost the int");
  if (!whole) {
    Require(ReadAll(file) == input, "a file too large to read was changed");
    return 0;
  }

  const ProfileFile after(file, SettingsAccess::ReadOnly);
  Require(after.GetInt(kSection, kIntKey, -1) == 42, "the int written does not read back");
  Require(after.GetString(kSection, kTextKey, "") == kText, "the text written does not read back");
  std::set<std::string> seen;
  for (const std::string& name : SectionNames(input)) {
    if (!seen.insert(name).second) continue;
    Require(Others(before, name) == Others(after, name), "another entry changed");
  }

  // A line added follows the file's own line breaks (a replaced one keeps its own).
  if (before.GetString(kSection, kTextKey, "\n") != "\n" ||
      input.find("m_strAPPSFileName=") != std::string::npos) {
    return 0;
  }
  const std::string written = ReadAll(file);
  const std::size_t firstBreak = std::min(input.find('\n'), input.size());
  const bool crlf = firstBreak > 0 && input[firstBreak - 1] == '\r';
  const std::size_t at = written.find("m_strAPPSFileName=/fw/APPS/a b.img");
  Require(at != std::string::npos, "the text line is missing");
  const std::size_t lineEnd = written.find('\n', at);
  Require(lineEnd != std::string::npos, "the text line has no line break");
  Require((written[lineEnd - 1] == '\r') == crlf, "the text line's break differs from the file's");
  return 0;
}

#if !defined(VESKA_LIBFUZZER)
// Replays every file of the folders (or the files) named on the command line.
int main(int argc, char** argv) {
  std::vector<fs::path> inputs;
  for (int i = 1; i < argc; ++i) {
    if (fs::is_directory(argv[i])) {
      for (const auto& entry : fs::directory_iterator(argv[i])) inputs.push_back(entry.path());
    } else {
      inputs.emplace_back(argv[i]);
    }
  }
  std::sort(inputs.begin(), inputs.end());
  for (const fs::path& path : inputs) {
    const std::string bytes = ReadAll(path);
    std::fprintf(stderr, "%s\n", path.string().c_str());
    LLVMFuzzerTestOneInput(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size());
  }
  std::fprintf(stderr, "%zu inputs replayed\n", inputs.size());
  return inputs.empty() ? 1 : 0;
}
#endif
