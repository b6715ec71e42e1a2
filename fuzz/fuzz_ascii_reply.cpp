// CleanASCIIReply followed by HexToBytes, alone and as the ASCII framing decodes and checks a
// received line.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "protocol/FrameCodec.h"
#include "protocol/Framing.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace qmb;
  const std::string_view received(reinterpret_cast<const char*>(data), size);

  const std::string cleaned = CleanASCIIReply(received);
  if (cleaned.size() > size) std::abort();
  for (char c : cleaned)
    if (static_cast<unsigned char>(c) < 32) std::abort();
  if (!cleaned.empty() && (cleaned.front() == ' ' || cleaned.back() == ' ')) std::abort();

  const std::string bytes = HexToBytes(cleaned);
  if (bytes.size() != cleaned.size() / 2) std::abort();
  // Upper-case hex pairs must decode exactly: encoding the bytes again gives the text back.
  if (cleaned.find_first_not_of("0123456789ABCDEF") == std::string::npos) {
    std::string again;
    for (char b : bytes) again += ByteToHex(static_cast<uint8_t>(b));
    if (again != cleaned.substr(0, again.size())) std::abort();
  }

  const FramingEntry& ascii = FramingFor(Framing::ASCII);
  const ModbusRequest request = RequestFromHex("010300630001");
  const std::string decoded = ascii.Decode(request, received);
  if (decoded.size() > size / 2) std::abort();
  const ReplyCheck check = ascii.Check(request, decoded);
  if (check.Start < 0 || static_cast<size_t>(check.Start) > decoded.size()) std::abort();
  if (ascii.Missing(request, received) < 0) std::abort();
  return 0;
}
