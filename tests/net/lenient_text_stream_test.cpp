#include "net/lenient_text_stream.hpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace nimbrel {
namespace {

using Bytes8 = std::vector<std::uint8_t>;

// One frame: FIN flag, opcode, payload, with the length in its shortest form unless forced.
Bytes8 frame(bool fin, std::uint8_t opcode, std::size_t payloadSize, bool masked,
             int lengthForm = 0) {
  Bytes8 out{static_cast<std::uint8_t>((fin ? 0x80 : 0) | opcode)};
  const std::uint8_t mask = masked ? 0x80 : 0;
  if (lengthForm == 64 || payloadSize > 65535) {
    out.push_back(mask | 127);
    for (int i = 7; i >= 0; --i) out.push_back(static_cast<std::uint8_t>(payloadSize >> (8 * i)));
  } else if (lengthForm == 16 || payloadSize > 125) {
    out.push_back(mask | 126);
    out.push_back(static_cast<std::uint8_t>(payloadSize >> 8));
    out.push_back(static_cast<std::uint8_t>(payloadSize));
  } else {
    out.push_back(static_cast<std::uint8_t>(mask | payloadSize));
  }
  if (masked) out.insert(out.end(), {0x81, 0x01, 0x02, 0x11});  // looks like opcodes on purpose
  // Payload bytes that would read as frame starts if the scanner lost its place.
  for (std::size_t i = 0; i < payloadSize; ++i) out.push_back(i % 2 ? 0x81 : 0x01);
  return out;
}

TEST(FrameScanner, RewritesTextOpcodesWherePayloadsAndChunksFall) {
  struct Piece {
    Bytes8 bytes;
    std::uint8_t expectedFirst;  // the first byte after scanning
  };
  const std::vector<Piece> pieces = {
      {frame(true, 0x1, 5, true), 0x82},            // text, masked, 7-bit length
      {frame(true, 0x9, 3, true), 0x89},            // ping between messages
      {frame(true, 0x2, 300, false), 0x82},         // binary, 16-bit length
      {frame(false, 0x1, 2, false), 0x02},          // text message in three fragments...
      {frame(true, 0xA, 0, false), 0x8A},           // ...with a pong in the middle
      {frame(false, 0x0, 70000, true), 0x00},       // continuation, 64-bit length
      {frame(true, 0x0, 1, true), 0x80},
      {frame(true, 0x1, 0, false, 64), 0x82},       // empty text, needlessly long length
      {frame(true, 0x8, 2, true), 0x88},            // close
  };
  Bytes8 stream;
  const std::string head = "HTTP/1.1 101 Switching Protocols\r\nUpgrade: websocket\r\n\r\n";
  stream.insert(stream.end(), head.begin(), head.end());
  std::vector<std::size_t> starts;
  for (const Piece& piece : pieces) {
    starts.push_back(stream.size());
    stream.insert(stream.end(), piece.bytes.begin(), piece.bytes.end());
  }
  for (std::size_t chunk : {std::size_t{1}, std::size_t{2}, std::size_t{3}, std::size_t{7},
                            std::size_t{64}, std::size_t{4096}, stream.size()}) {
    Bytes8 data = stream;
    FrameScanner scanner(true);
    for (std::size_t at = 0; at < data.size(); at += chunk) {
      scanner.scan(data.data() + at, std::min(chunk, data.size() - at));
    }
    for (std::size_t p = 0; p < pieces.size(); ++p) {
      EXPECT_EQ(data[starts[p]], pieces[p].expectedFirst) << "piece " << p << ", chunk " << chunk;
      // Nothing else changed.
      for (std::size_t k = starts[p] + 1; k < starts[p] + pieces[p].bytes.size(); ++k) {
        ASSERT_EQ(data[k], stream[k]) << "byte " << k << ", chunk " << chunk;
      }
    }
    EXPECT_TRUE(std::equal(head.begin(), head.end(), data.begin()));
    // Messages in order: text, binary, text (fragmented), text (empty).
    EXPECT_TRUE(scanner.takeMessageWasText());
    EXPECT_FALSE(scanner.takeMessageWasText());
    EXPECT_TRUE(scanner.takeMessageWasText());
    EXPECT_TRUE(scanner.takeMessageWasText());
    EXPECT_FALSE(scanner.takeMessageWasText());  // none left
  }
}

}  // namespace
}  // namespace nimbrel
