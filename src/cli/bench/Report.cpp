#include "cli/bench/Report.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <ctime>
#include <fstream>
#include <nlohmann/json.hpp>

#include "app/FileReplace.h"
#include "app/Printf.h"
#include "link/Utf8.h"
#include "ui/Host.h"

namespace veska::cli {

using namespace veska::station;

namespace {

using Json = nlohmann::ordered_json;

// `text` as a JSON string value. Paths and messages may come in another encoding than UTF-8:
// each byte that does not start or continue a well-formed sequence becomes the Latin-1
// character of that value, so that the report stays valid and keeps every byte readable.
Json Text(std::string_view text) {
  std::string utf8;
  utf8.reserve(text.size());
  for (std::size_t i = 0; i < text.size();) {
    if (const std::size_t length = link::Utf8SequenceLength(text.substr(i)); length > 0) {
      utf8.append(text.substr(i, length));
      i += length;
      continue;
    }
    const auto c = static_cast<unsigned char>(text[i++]);
    utf8 += static_cast<char>(0xC0 | (c >> 6));
    utf8 += static_cast<char>(0x80 | (c & 0x3F));
  }
  return utf8;
}

Json Hex32(std::optional<std::uint32_t> value) {
  if (!value) return nullptr;
  return app::Printf("0x%08X", *value);
}

// Seconds to a tenth, as the log gives times.
double Tenths(double seconds) {
  return std::round(seconds * 10.0) / 10.0;
}

// Never throws: the texts went in as valid UTF-8, and anything else would be replaced.
std::string Dump(const Json& value) {
  return value.dump(2, ' ', false, Json::error_handler_t::replace);
}

Json StepValue(const StepRecord& step) {
  Json value;
  value["step"] = Text(step.words);
  value["operation"] = Text(step.operation);
  value["outcome"] = Text(step.outcome);
  value["status"] = step.status;
  value["reason"] = Text(step.reason);
  value["exit_status"] = step.exitStatus;
  value["seconds"] = Tenths(step.seconds);
  return value;
}

Json ImageValue(const ImageRecord& image) {
  Json value;
  value["image"] = Text(image.kind);
  value["path"] = Text(image.path);
  value["size"] = image.size;
  value["crc32"] = Hex32(image.crc32);
  value["address"] = Hex32(image.address);
  value["seconds"] = Tenths(image.seconds);
  value["written"] = image.written;
  value["verified"] = image.verified;
  return value;
}

Json FlashValue(const PhoneRecord& phone) {
  if (phone.flashId.empty() && !phone.badBlocksKnown) return nullptr;
  Json badBlocks = nullptr;
  if (phone.badBlocksKnown) {
    badBlocks = Json::array();
    for (const auto& [primary, spare] : phone.badBlocks) {
      Json pair;
      pair["primary"] = primary;
      pair["spare"] = spare;
      badBlocks.push_back(std::move(pair));
    }
  }
  Json value;
  value["id"] = Text(phone.flashId);
  value["bad_blocks"] = std::move(badBlocks);
  return value;
}

Json PhoneValue(const PhoneRecord& phone) {
  Json value;
  value["port"] = Text(phone.port);
  value["unit_serial"] = Text(phone.unitSerial);
  value["pass"] = phone.pass;
  value["started"] = Text(phone.started);
  value["seconds"] = Tenths(phone.seconds);
  value["exit_status"] = phone.exitStatus;
  value["result"] = ResultWord(phone);
  value["flash"] = FlashValue(phone);
  value["steps"] = Json::array();
  for (const StepRecord& step : phone.steps) value["steps"].push_back(StepValue(step));
  value["images"] = Json::array();
  for (const ImageRecord& image : phone.images) value["images"].push_back(ImageValue(image));
  value["error"] = nullptr;
  if (phone.error) {
    value["error"] = StepValue(*phone.error);
    value["error"]["cause"] = Text(phone.cause);
  }
  return value;
}

}  // namespace

std::string PhoneJson(const PhoneRecord& phone) {
  // Where the report holds it: an element of "phones", four blanks in.
  std::string json = "    ";
  for (const char c : Dump(PhoneValue(phone))) {
    json += c;
    if (c == '\n') json += "    ";
  }
  return json;
}

std::string ReportJson(const std::vector<std::string>& ports, const std::vector<std::string>& steps,
                       const std::vector<PhoneRecord>& phones, int exitStatus,
                       std::string_view operatorName) {
  Json report;
  report["tool"] = "veska-cli";
  report["version"] = Text(VESKA_VERSION);
  report["written"] = Text(UtcNow());
  report["ports"] = Json::array();
  for (const std::string& port : ports) report["ports"].push_back(Text(port));
  std::string command;
  for (const std::string& word : steps) command += (command.empty() ? "" : " ") + word;
  report["command"] = Text(command);
  report["operator"] = Text(operatorName);
  report["finished"] = exitStatus >= 0;
  report["exit_status"] = exitStatus >= 0 ? Json(exitStatus) : Json(nullptr);
  report["phones"] = Json::array();
  for (const PhoneRecord& phone : phones) report["phones"].push_back(PhoneValue(phone));
  return Dump(report) + "\n";
}

std::string ReportFile::Refusal() {
  target_ = app::ReplacementTarget(path_);
  if (target_.empty()) return "is a link to nothing";
  if (app::KindOfTarget(target_) == app::TargetKind::Other) return "is not a regular file";
  return "";
}

bool ReportFile::Add(std::string name, std::string phone) {
  waitingBytes_ += phone.size();
  waiting_.emplace_back(std::move(name), std::move(phone));
  // While the disk stays full the records wait in memory; a run that lasts must not grow
  // without bound, so the oldest are given up (and named at the end).
  while (waitingBytes_ > kMaxWaitingBytes && waiting_.size() > 1) {
    if (givenUp_++ == 0) firstGivenUp_ = waiting_.front().first;
    waitingBytes_ -= waiting_.front().second.size();
    waiting_.erase(waiting_.begin());
  }
  return Write(-1);
}

std::string ReportFile::Lacking() const {
  std::string names;
  if (givenUp_ > 0) {
    names = std::to_string(givenUp_) + (givenUp_ == 1 ? " phone" : " phones") +
            " given up while the disk stayed full (the first " + firstGivenUp_ + ")";
  }
  static constexpr std::size_t kNamed = 10;
  for (std::size_t i = 0; i < waiting_.size() && i < kNamed; ++i) {
    names += (names.empty() ? "" : ", ") + waiting_[i].first;
  }
  if (waiting_.size() > kNamed) {
    names += " and " + std::to_string(waiting_.size() - kNamed) + " more";
  }
  return names;
}

namespace {

// The ends of ReportJson's text, with and without phones.
constexpr std::string_view kNoPhonesTail = "]\n}\n";
constexpr std::string_view kPhonesTail = "\n  ]\n}\n";

bool Put(std::ostream& out, std::string_view bytes) {
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  return static_cast<bool>(out);
}

}  // namespace

// The records of the file as last written, copied a piece at a time: the file may be large
// after weeks of phones.
bool ReportFile::CopyPhones(std::ostream& out) {
  if (phonesTo_ == phonesFrom_) return true;
  std::ifstream in(target_, std::ios::binary);
  std::error_code error;
  if (!in || std::filesystem::file_size(target_, error) != size_ || error) {
    problem_ = "the report was changed by another program";
    return false;
  }
  in.seekg(static_cast<std::streamoff>(phonesFrom_));
  std::string buffer(std::size_t{64} << 10, '\0');
  for (std::uint64_t left = phonesTo_ - phonesFrom_; left > 0;) {
    const std::size_t piece =
        static_cast<std::size_t>(std::min<std::uint64_t>(left, buffer.size()));
    if (!in.read(buffer.data(), static_cast<std::streamsize>(piece))) {
      problem_ = "the report could not be read back";
      return false;
    }
    if (!Put(out, std::string_view(buffer).substr(0, piece))) return false;
    left -= piece;
  }
  return true;
}

bool ReportFile::Write(int exitStatus) {
  if (target_.empty() || app::KindOfTarget(target_) == app::TargetKind::Other) {
    problem_ = "it is no longer a regular file";
    return false;
  }
  // The head: everything up to the list of phones' "[".
  std::string head = ReportJson(ports_, steps_, {}, exitStatus, operator_);
  head.resize(head.size() - kNoPhonesTail.size());
  problem_.clear();
  std::uint64_t phonesTo = head.size();
  std::error_code error;
  const bool written = app::ReplaceFileBy(
      target_, ".part",
      [&](std::ostream& out) {
        if (!Put(out, head) || !CopyPhones(out)) return false;
        phonesTo += phonesTo_ - phonesFrom_;
        for (const auto& [name, phone] : waiting_) {
          const std::string_view comma = phonesTo == head.size() ? "\n" : ",\n";
          if (!Put(out, comma) || !Put(out, phone)) return false;
          phonesTo += comma.size() + phone.size();
        }
        return Put(out, phonesTo > head.size() ? kPhonesTail : kNoPhonesTail);
      },
      error);
  if (!written) {
    if (problem_.empty()) problem_ = error ? error.message() : std::strerror(errno);
    return false;
  }
  const bool anyPhones = phonesTo > head.size();
  phonesFrom_ = head.size();
  phonesTo_ = phonesTo;
  size_ = phonesTo + (anyPhones ? kPhonesTail : kNoPhonesTail).size();
  waiting_.clear();
  waitingBytes_ = 0;
  return true;
}

}  // namespace veska::cli
