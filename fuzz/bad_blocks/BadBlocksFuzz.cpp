// Fuzz target of the bad-block list the phone sends after the loaders: its words, the end word
// and the report the log shows. Checked for every input: the list never holds more than a pair
// per block of the flash nor the end word, it ends exactly at the end word or past the flash's
// blocks, and the report holds one line per complete pair between its rules.
//
// Input: byte 0 odd repeats the rest until the list must end (lists longer than a fuzz input);
// the rest is the phone's words, big-endian.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "FuzzCheck.h"
#include "target/Loaders.h"

namespace {

using veska::target::BAD_BLOCK_END;
using veska::target::BadBlockList;
using veska::target::kFlashBlocks;

void Check(bool holds, const char* what) {
  veska::fuzz::Check(holds, "bad blocks", what);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 3) return 0;
  const bool repeat = (data[0] & 1) != 0;
  const std::size_t words = (size - 1) / 2;
  const std::size_t limit = repeat ? 2 * kFlashBlocks + 2 : words;

  BadBlockList list;
  BadBlockList::Next next = BadBlockList::Next::More;
  std::size_t taken = 0;
  bool endSent = false;
  for (; taken < limit && next == BadBlockList::Next::More; ++taken) {
    const std::size_t i = 1 + 2 * (taken % words);
    const auto word = static_cast<std::uint16_t>(data[i] << 8 | data[i + 1]);
    endSent = word == BAD_BLOCK_END;
    next = list.Take(word);
  }
  Check(list.Words().size() <= 2 * kFlashBlocks, "more than a pair per block of the flash");
  Check(std::find(list.Words().begin(), list.Words().end(), BAD_BLOCK_END) == list.Words().end(),
        "the end word taken as a block");
  Check(list.Ended() == (next == BadBlockList::Next::Ended) && list.Ended() == endSent,
        "a list that ends elsewhere than at its end word");
  Check(!list.TooLong() || (list.Words().size() == 2 * kFlashBlocks && !endSent),
        "a list called too long before a pair for every block came");
  Check(list.Ended() || list.TooLong() || taken == limit, "a list that stopped by itself");
  Check(list.AnyArrived() == (taken > 0), "words that arrived and were not counted");

  const std::string report = veska::target::BadBlockReport(list.Words(), list.AnyArrived());
  const std::size_t pairs = list.Words().size() / 2;
  const std::size_t lines =
      static_cast<std::size_t>(std::count(report.begin(), report.end(), '\n'));
  Check(report.ends_with('\n'), "a report without its line break");
  Check(lines == (pairs == 0 ? 1 : pairs + 3), "a report with other lines than its pairs");
  Check(report.size() <= 64 * lines, "a report line longer than the log's columns");
  for (char c : report) {
    const auto byte = static_cast<unsigned char>(c);
    Check(c == '\n' || (byte >= 0x20 && byte < 0x7F), "a control byte in the report");
  }
  if (next != BadBlockList::Next::More) {
    const std::size_t held = list.Words().size();
    Check(list.Take(0x0001) == next && list.Words().size() == held,
          "a list that took a word after its end");
  }
  return 0;
}
