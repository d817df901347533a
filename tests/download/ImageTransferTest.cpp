#include "download/ImageTransfer.h"

#include <gtest/gtest.h>

#include <fstream>
#include <random>
#include <thread>

#include "app/Printf.h"
#include "link/BlockSum.h"
#include "link/PtyPair.h"
#include "target/PhoneHarness.h"

namespace veska::download {
namespace {

using namespace std::chrono_literals;
using sim::EventKind;
using sim::FaultKind;
using sim::FaultStep;

constexpr std::uint32_t kAppsAddress = 0x00C00000;
constexpr std::size_t kBuffer = link::TRANSFER_BUFFER_SIZE;

class ScratchFolder : public ::testing::Test {
 protected:
  veska::testing::ScratchFolder scratch_{"veska_transfer_"};
  const std::filesystem::path& folder_ = scratch_.Path();
};

class TransferFixture : public ScratchFolder {
 protected:
  // A phone in its driver, reached by START's handshake, with the log and the phone's record
  // cleared so that only the transfer shows.
  void Connect(bool usb, sim::PhoneOptions options = {}) {
    usb_ = usb;
    connected_.Connect(std::move(options), usb, 3);
    phone_ = connected_.phone.get();
    harness_ = connected_.harness.get();
  }

  std::string Log() const { return harness_->narrator.Text(); }
  std::vector<std::string> MessageBoxes() const { return harness_->narrator.Messages(); }
  link::LinkState& Link() { return harness_->link; }

  std::string MakeImage(std::size_t size, std::vector<std::uint8_t>* bytes = nullptr) {
    std::vector<std::uint8_t> data(size);
    std::mt19937 random(static_cast<unsigned>(size));
    for (auto& b : data) b = static_cast<std::uint8_t>(random());
    const auto path = (folder_ / ("image" + std::to_string(images_++) + ".img")).string();
    std::ofstream(path, std::ios::binary)
        .write(reinterpret_cast<const char*>(data.data()), static_cast<std::streamsize>(size));
    if (bytes) *bytes = std::move(data);
    return path;
  }

  int Transfer(const std::string& path, std::uint32_t size, std::uint32_t address = kAppsAddress) {
    return usb_ ? TransferImageUsb(harness_->Context(), path, address, size)
                : TransferImageUart(harness_->Context(), path, address, size);
  }

  std::vector<std::uint32_t> ProgressPositions() const { return harness_->narrator.Positions(); }

  // The phone records the end only once it has read the PC's last acknowledgement.
  bool PhoneFinished() const {
    return phone_->WaitFor([](const auto& ev) { return sim::HasEvent(ev, EventKind::ImageDone); },
                           3s);
  }

  // The phone gave up waiting for the PC (which therefore sent nothing more) at `where`.
  void ExpectPhoneLeftWaiting(const std::string& where) {
    ASSERT_TRUE(phone_->WaitFor(
        [](const auto& ev) { return sim::HasEvent(ev, EventKind::PeerSilent); }, 3s));
    for (const auto& e : phone_->Events()) {
      if (e.kind == EventKind::PeerSilent) {
        EXPECT_EQ(e.detail, "waiting for " + where);
      }
      EXPECT_NE(e.kind, EventKind::Violation) << e.detail;
    }
  }

  bool usb_ = false;
  int images_ = 0;
  veska::testing::PhoneHarness connected_;
  sim::VirtualPhone* phone_ = nullptr;
  veska::testing::EngineHarness* harness_ = nullptr;
};

// Behaviour both dialects share, run over each.
class BothLinks : public TransferFixture, public ::testing::WithParamInterface<bool> {};
INSTANTIATE_TEST_SUITE_P(Link, BothLinks, ::testing::Values(false, true),
                         [](const auto& p) { return p.param ? "Usb" : "Uart"; });

TEST_P(BothLinks, TheImageLandsInTheFlashAtItsAddressWithFullBufferBlocks) {
  sim::PhoneOptions options;
  options.blockLength = kBuffer;  // the largest block the PC can serve
  Connect(GetParam(), options);
  std::vector<std::uint8_t> data;
  const std::uint32_t size = kBuffer + 1234;
  const auto path = MakeImage(size, &data);
  // The last block asked for is a whole buffer that the file fills only in part: a stale block
  // left in the buffer must not reach the flash in place of the file's last bytes.
  std::fill(Link().transferBuffer.begin(), Link().transferBuffer.end(), 0x00);

  ASSERT_EQ(Transfer(path, size), TRANSFER_OK) << Log();
  EXPECT_EQ(Log(), "");
  EXPECT_FALSE(Link().portOpen);

  ASSERT_TRUE(PhoneFinished());
  const auto events = phone_->Events();
  EXPECT_EQ(sim::CountEvents(events, EventKind::ImageBlock), 2u);
  for (const auto& e : events) {
    EXPECT_NE(e.kind, EventKind::Violation) << e.detail;
    if (e.kind == EventKind::ImageRequest) {
      EXPECT_EQ(e.address, kAppsAddress);  // the phone read the address in its link's byte order
      EXPECT_EQ(e.length, size);
    }
  }
  std::vector<std::uint8_t> flash(size);
  ASSERT_TRUE(phone_->Nand().ReadData(kAppsAddress, flash));
  EXPECT_TRUE(flash == data);
  EXPECT_EQ(Link().lastBlockSum, link::blockSum(std::span(data).subspan(kBuffer)));

  // USB moves the bar with every 4096-byte piece; UART once per block the phone accepts.
  const auto positions = ProgressPositions();
  ASSERT_FALSE(positions.empty());
  EXPECT_EQ(positions.back(), size);
  if (GetParam()) {
    EXPECT_EQ(positions.size(), kBuffer / 4096 + 1);
    EXPECT_EQ(positions.front(), 4096u);
  } else {
    EXPECT_EQ(positions, (std::vector<std::uint32_t>{std::uint32_t{kBuffer}, size}));
  }
}

TEST_P(BothLinks, AFileShorterThanMeasuredFailsWithoutSendingStandInBytes) {
  sim::PhoneOptions options;
  options.blockLength = 4096;
  Connect(GetParam(), options);
  const auto path = MakeImage(5000);

  // Measured at 8192 bytes, the file now holds 5000: the first block goes out whole, the second
  // would be 904 bytes of file and 3192 of 0xFF written where data belongs. It is never sent.
  EXPECT_EQ(Transfer(path, 8192), TRANSFER_FILE_ERROR);
  EXPECT_EQ(Log(), "The image file ended at 5000 of 8192 bytes!\r\n");
  EXPECT_FALSE(Link().portOpen);
  EXPECT_EQ(sim::CountEvents(phone_->Events(), EventKind::ImageBlock), 1u);
}

TEST_P(BothLinks, AReadErrorFailsTheImage) {
  Connect(GetParam());
  // A regular file of the system whose first read fails (EIO): the image reads nothing.
  EXPECT_EQ(Transfer("/proc/self/mem", 5000), TRANSFER_FILE_ERROR);
  EXPECT_EQ(Log(), "Read error in the image file!\r\n");
  EXPECT_FALSE(sim::HasEvent(phone_->Events(), EventKind::ImageBlock));
  EXPECT_FALSE(Link().portOpen);
}

TEST_P(BothLinks, AFileTruncatedDuringTheTransferFails) {
  sim::PhoneOptions options;
  options.blockLength = 4096;
  Connect(GetParam(), options);
  const auto path = MakeImage(40000);
  // Another program cuts the file as soon as the first bytes have gone out.
  bool cut = false;
  harness_->narrator.OnProgress([&](std::uint32_t position) {
    if (!cut && position > 0) {
      cut = true;
      std::filesystem::resize_file(path, 3000);
    }
  });
  EXPECT_EQ(Transfer(path, 40000), TRANSFER_FILE_ERROR);
  harness_->narrator.OnProgress({});
  EXPECT_TRUE(cut);
  EXPECT_EQ(Log(), "The image file ended at 4096 of 40000 bytes!\r\n");
  EXPECT_LE(sim::CountEvents(phone_->Events(), EventKind::ImageBlock), 1u);
}

TEST_P(BothLinks, ABlockLongerThanTheTransferBufferIsRefusedBeforeAnyByteOfIt) {
  sim::PhoneOptions options;
  options.blockLength = 0x200000;
  Connect(GetParam(), options);
  const auto path = MakeImage(kBuffer + 1);

  EXPECT_EQ(Transfer(path, kBuffer + 1), TRANSFER_NO_DATA);
  EXPECT_EQ(Log(), "Block of 1572865 bytes requested, more than the buffer holds!\r\n");
  // Not even the acknowledgement that would announce the block went out.
  ExpectPhoneLeftWaiting(GetParam() ? "BLOCK_ACK" : "image block");
  EXPECT_FALSE(sim::HasEvent(phone_->Events(), EventKind::ImageBlock));
}

TEST_P(BothLinks, TheOpenRefusesRatesTheLoaderDoesNotKnowAndAMissingFile) {
  Connect(GetParam());
  const auto path = MakeImage(100);
  link::SerialPort& port = harness_->port;
  const std::uint8_t userRate = port.baudCode;

  port.baudCode = 0x87;  // refused before anything is opened
  EXPECT_EQ(Transfer(path, 100), TRANSFER_BAD_BAUD);
  port.baudCode = 0x89;  // known to the loader, but the port has no rate for it
  EXPECT_EQ(Transfer(path, 100), TRANSFER_BAD_BAUD);
  EXPECT_FALSE(Link().portOpen);
  EXPECT_TRUE(MessageBoxes().empty());

  port.baudCode = userRate;
  EXPECT_EQ(Transfer((folder_ / "missing.img").string(), 100), TRANSFER_NO_FILE);
  EXPECT_EQ(Transfer(folder_.string(), 100), TRANSFER_NO_FILE);  // a folder is no image
  EXPECT_EQ(MessageBoxes(),
            (std::vector<std::string>{"Fail to open bin file!", "Fail to open bin file!"}));
  EXPECT_FALSE(Link().portOpen);
  EXPECT_TRUE(phone_->Events().empty());

  // None of this disturbed the phone: the next transfer goes through.
  EXPECT_EQ(Transfer(path, 100), TRANSFER_OK);
}

struct CodeCase {
  std::uint8_t code;
  std::uint32_t block;
  int status;
  const char* text;
};

class UsbTransfer : public TransferFixture {};

TEST_F(UsbTransfer, EveryErrorAndAbortCodeEndsWithItsTextAndStatus) {
  Connect(true);
  const auto path = MakeImage(0x18000);
  const CodeCase cases[] = {
      {0x28, 0, TRANSFER_PHONE_ERROR, "ERROR\r\n"},
      {0x41, 1, TRANSFER_PHONE_ERROR, "SendACK Error!\r\n"},
      {0x42, 1, TRANSFER_PHONE_ERROR, "Read Flash Data Error!\r\n"},
      {0x43, 1, TRANSFER_PHONE_ERROR, "Write Flash Data Error!\r\n"},
      {0x2B, 1, TRANSFER_ABORTED, ""},
      {0x2C, 0, TRANSFER_ABORTED, ""},
      {0x27, 1, TRANSFER_PHONE_ERROR, "Unknown command!\r\n"},
  };
  for (const auto& c : cases) {
    phone_->InjectFault(
        {FaultKind::TransferCode, FaultStep::ImageBlock, c.block, c.code, {}, false});
    harness_->narrator.Clear();
    EXPECT_EQ(Transfer(path, 0x18000), c.status) << int{c.code};
    EXPECT_EQ(Log(), c.text) << int{c.code};
  }
  // The phone went back to its commands after each code and was never sent a stray byte.
  for (const auto& e : phone_->Events()) EXPECT_NE(e.kind, EventKind::Violation) << e.detail;
  EXPECT_EQ(Transfer(path, 0x18000), TRANSFER_OK);
}

TEST_F(UsbTransfer, AnImageDoneBeforeAnyBlockIsIgnored) {
  Connect(true);
  std::vector<std::uint8_t> early(16, 0);
  early[0] = 0x29;
  early[4] = 0x5C;
  phone_->InjectFault({FaultKind::StrayBytes, FaultStep::ImageBlock, 0, 0, early, false});
  const auto path = MakeImage(5000);
  EXPECT_EQ(Transfer(path, 5000), TRANSFER_OK) << Log();
  EXPECT_TRUE(PhoneFinished());
}

// A wrong sum in a block request or in the image's end stops the PC before it acknowledges:
// the phone is left waiting, and nothing after the mismatch is written.
TEST_F(UsbTransfer, ASumMismatchIsNeverAcknowledged) {
  const struct {
    FaultStep step;
    const char* log;
    const char* awaited;
  } cases[] = {
      {FaultStep::ImageBlock, "Checksum error!", "BLOCK_ACK"},
      {FaultStep::ImageDone, "\nChecksum Error", "IMAGE_ACK"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.awaited);
    sim::PhoneOptions options;
    options.blockLength = 4096;
    Connect(true, options);
    phone_->InjectFault({FaultKind::WrongBlockSum, c.step, 0, 0, {}, false});
    EXPECT_EQ(Transfer(MakeImage(3 * 4096), 3 * 4096), TRANSFER_SUM_MISMATCH);
    EXPECT_EQ(Log(), c.log);
    ExpectPhoneLeftWaiting(c.awaited);
    const auto events = phone_->Events();
    EXPECT_EQ(sim::CountEvents(events, EventKind::ImageBlock),
              c.step == FaultStep::ImageBlock ? 1u : 3u);
    EXPECT_FALSE(sim::HasEvent(events, EventKind::ImageDone));
  }
}

class UartTransfer : public TransferFixture {};

TEST_F(UartTransfer, ErrorAbortAndUnexpectedBytesEndSilentlyWithTheirStatus) {
  Connect(false);
  const auto path = MakeImage(0x18000);
  const CodeCase cases[] = {
      {0x28, 1, TRANSFER_UART_ERROR, ""},
      {0x2B, 0, TRANSFER_ABORTED, ""},
      {0x2C, 1, TRANSFER_ABORTED, ""},
      {0x7E, 1, TRANSFER_NO_DATA, ""},
      // An acceptance or a resend request before the first block refers to no block.
      {0x27, 0, TRANSFER_NO_DATA, ""},
      {0x2A, 0, TRANSFER_NO_DATA, ""},
  };
  for (const auto& c : cases) {
    phone_->InjectFault(
        {FaultKind::TransferCode, FaultStep::ImageBlock, c.block, c.code, {}, false});
    EXPECT_EQ(Transfer(path, 0x18000), c.status) << int{c.code};
  }
  EXPECT_EQ(Log(), "");
  for (const auto& e : phone_->Events()) EXPECT_NE(e.kind, EventKind::Violation) << e.detail;
  EXPECT_EQ(Transfer(path, 0x18000), TRANSFER_OK);
}

TEST_F(UartTransfer, ABlockThePhoneAsksForAgainIsResentUnchangedAndAnAckRequestAnswered) {
  sim::PhoneOptions options;
  options.uartAckRequest = true;
  options.blockLength = 4096;
  Connect(false, options);
  phone_->InjectFault({FaultKind::WrongBlockSum, FaultStep::ImageBlock, 1, 0, {}, false});
  std::vector<std::uint8_t> data;
  const auto path = MakeImage(10000, &data);
  ASSERT_EQ(Transfer(path, 10000), TRANSFER_OK);

  const auto events = phone_->Events();
  EXPECT_EQ(sim::CountEvents(events, EventKind::ImageBlockBad), 1u);
  for (const auto& e : events) {
    EXPECT_NE(e.kind, EventKind::Violation) << e.detail;
    if (e.kind == EventKind::ImageBlockBad) {
      EXPECT_EQ(e.sum, link::blockSum(std::span(data).subspan(4096, 4096)));
    }
  }
  std::vector<std::uint8_t> flash(10000);
  ASSERT_TRUE(phone_->Nand().ReadData(kAppsAddress, flash));
  EXPECT_TRUE(flash == data);
  // The block asked for again is counted once, when accepted.
  EXPECT_EQ(ProgressPositions(), (std::vector<std::uint32_t>{4096, 8192, 10000}));
}

// A raw line on which the test plays the phone byte by byte and sees every byte the PC sends.
class RawTransfer : public ScratchFolder {
 protected:
  void Open(bool usb) {
    harness_ = std::make_unique<veska::testing::EngineHarness>(pty_.SlavePath(), usb, 0x8B);
    path_ = (folder_ / "small.img").string();
    std::ofstream(path_, std::ios::binary).write("\x01\x02\x03\x04", 4);
  }
  std::vector<std::uint8_t> Expect(std::size_t count) { return pty_.Receive(count, 2000ms); }
  std::string Log() const { return harness_->narrator.Text(); }
  int Uart() { return TransferImageUart(harness_->Context(), path_, kAppsAddress, 4); }
  int Usb() { return TransferImageUsb(harness_->Context(), path_, kAppsAddress, 4); }

  PtyPair pty_;
  std::string path_;
  std::unique_ptr<veska::testing::EngineHarness> harness_;
};

TEST_F(RawTransfer, UartRepeatsTheRequestUntilSynchronisedAndResendsTheNumbersOnEverySync) {
  Open(false);
  using Bytes = std::vector<std::uint8_t>;
  const Bytes numbers = {0x00, 0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x04};
  std::vector<Bytes> seen;
  std::jthread phone([&] {
    seen.push_back(Expect(1));
    pty_.Send({0x00});  // busy with something else
    seen.push_back(Expect(1));
    pty_.Send({0xA5});
    seen.push_back(Expect(8));
    pty_.Send({0xA5});  // missed them: again
    seen.push_back(Expect(8));
    pty_.Send({0x2E, 0x00, 0x00, 0x00, 0x04});
    seen.push_back(Expect(5));
    pty_.Send({0x27});
    seen.push_back(Expect(1));
    pty_.Send({0x29});
  });
  EXPECT_EQ(Uart(), TRANSFER_OK);
  phone.join();
  EXPECT_EQ(seen, (std::vector<Bytes>{{0x5A}, {0x5A}, numbers, numbers, {1, 2, 3, 4, 10}, {0x2D}}));
  EXPECT_EQ(harness_->narrator.Sleeps(), std::vector<std::chrono::milliseconds>{1000ms});
}

// A phone that answers every request with something else is given as long as a silent one: the
// reply time-out, one request a second.
TEST_F(RawTransfer, UartGivesUpSynchronisingAfterTheReplyTimeOut) {
  Open(false);
  harness_->link.replyTimeout = 3000ms;
  std::size_t requests = 0;
  std::jthread phone([&] {
    // Ten busy answers, then silence: without a bound the PC would ask for ever.
    for (int i = 0; i < 10 && pty_.Receive(1, 300ms) == std::vector<std::uint8_t>{0x5A}; ++i) {
      ++requests;
      pty_.Send({0x00});
    }
  });
  EXPECT_EQ(Uart(), TRANSFER_NO_DATA);
  phone.join();
  EXPECT_EQ(requests, 4u);
  EXPECT_EQ(Log(), "\r\nNo sync byte 0xA5 from the phone after 4 requests\r\n");
}

// Requests that move the image no further are answered, but a stream of them ends the transfer:
// sync or acknowledgement requests on UART, image-done frames before any block on USB.
TEST_F(RawTransfer, EndlessRequestsWithoutABlockEndTheTransfer) {
  for (const auto& [usb, babble] :
       {std::pair{false, std::uint8_t{0x26}}, std::pair{false, std::uint8_t{0xA5}},
        std::pair{true, std::uint8_t{0x29}}}) {
    // The previous round's last answers must not pass for this round's request.
    pty_.Receive(1 << 16, 50ms);
    Open(usb);
    std::jthread phone([&, usb = usb, babble = babble] {
      if (usb) {
        Expect(16);
        for (int i = 0; i < 300; ++i)
          pty_.Send({babble, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0});
        return;
      }
      Expect(1);
      pty_.Send({0xA5});
      Expect(8);
      // What the PC answers (the numbers again, or acknowledgements) is taken off the line as
      // it comes, so that a full line never stalls the PC's writes.
      for (int i = 0; i < 300; ++i) {
        pty_.Send({babble});
        pty_.Receive(4096, 0ms);
      }
    });
    EXPECT_EQ(usb ? Usb() : Uart(), TRANSFER_NO_DATA);
    phone.join();
    EXPECT_EQ(Log(), app::Printf("\r\n256 x 0x%02X from the phone, no block request\r\n",
                                 unsigned{babble}));
  }
}

// A phone that falls silent during an image is given the reply time-out, not the factor's
// quarter of an hour, and the log names what the PC waited for.
TEST_F(RawTransfer, ASilentPhoneEndsTheImageAtTheReplyTimeOutOnBothLinks) {
  for (bool usb : {false, true}) {
    Open(usb);
    harness_->port.readTotalTimeout = 20ms;  // the factors alone: 60 s on UART, 40 s on USB
    harness_->link.replyTimeout = 100ms;
    std::jthread phone([&] {
      if (usb) {
        Expect(16);
        return;
      }
      Expect(1);
      pty_.Send({0xA5});
      Expect(8);
    });
    const auto t0 = std::chrono::steady_clock::now();
    const int status = usb ? Usb() : Uart();
    EXPECT_EQ(status, link::PORT_NO_REPLY);
    EXPECT_LT(std::chrono::steady_clock::now() - t0, 10s);
    phone.join();
    EXPECT_EQ(Log(), usb ? "\r\nNo answer from the phone for 100 ms (waiting for the next reply "
                           "frame)\r\n"
                         : "\r\nNo answer from the phone for 100 ms (waiting for the phone's "
                           "next request)\r\n");
  }
}

TEST_F(RawTransfer, UsbFramesCarryLittleEndianWordsAndAZeroedHead) {
  Open(true);
  std::vector<std::uint8_t> request, ack, block, done;
  std::jthread phone([&] {
    request = Expect(16);
    pty_.Send({0x26, 0, 0, 0, 4, 0, 0, 0, 0x77, 0, 0, 0, 0, 0, 0, 0});  // offset 8 not judged yet
    ack = Expect(8);
    block = Expect(4);
    pty_.Send({0x29, 0, 0, 0, 10, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0});
    done = Expect(8);
  });
  EXPECT_EQ(Usb(), TRANSFER_OK);
  phone.join();
  ASSERT_EQ(request.size(), 16u);
  EXPECT_EQ(request[0], 0x5A);
  for (std::size_t i : {1u, 4u, 5u, 6u, 7u}) EXPECT_EQ(request[i], 0) << i;
  EXPECT_EQ(std::vector(request.begin() + 8, request.end()),
            (std::vector<std::uint8_t>{0x00, 0x00, 0xC0, 0x00, 0x04, 0x00, 0x00, 0x00}));
  ASSERT_EQ(ack.size(), 8u);
  EXPECT_EQ(ack[0], 0x30);
  EXPECT_EQ(block, (std::vector<std::uint8_t>{1, 2, 3, 4}));  // no sum byte on USB
  ASSERT_EQ(done.size(), 8u);
  EXPECT_EQ(done[0], 0x31);
}

}  // namespace
}  // namespace veska::download
