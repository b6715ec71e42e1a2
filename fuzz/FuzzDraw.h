// What the bus fuzz targets share: the fuzz bytes read front to back, and the keys and values of
// the parameter lists hosts send, from which the targets build most of their lists.
#pragma once

#include <cstddef>
#include <cstdint>

namespace qmb::fuzz {

// Reads the fuzz bytes front to back; zeros when they run out.
class DrawBytes {
 public:
  DrawBytes(const uint8_t* data, size_t size) : data_(data), size_(size) {}
  uint8_t Byte() { return pos_ < size_ ? data_[pos_++] : 0; }
  uint32_t Below(uint32_t bound) { return bound ? Word() % bound : 0; }
  uint32_t Word() {
    uint32_t value = 0;
    for (int i = 0; i < 4; ++i) value = value << 8 | Byte();
    return value;
  }
  bool Left() const { return pos_ < size_; }
  // The length of an array of variants: mostly a few elements, now and then a huge one. Huge is
  // mostly 200 (past 128, the last counter bucket the coverage tells apart), one time in eight
  // 2,000 and one in 64 20,000, for the paths only big messages take. Bigger arrays reach no more
  // code and cost their length: always 20,000, they took two thirds of the sd-bus target's time
  // and four fifths of the QtDBus one's, and at 2,000 they still took a third of the latter's.
  uint32_t ArrayLength() {
    if (Byte() != 255) return Below(6);
    const uint32_t kind = Below(64);
    return kind == 0 ? 20000 : kind < 8 ? 2000 : 200;
  }

 private:
  const uint8_t* data_;
  size_t size_;
  size_t pos_ = 0;
};

inline const char* const kKeys[] = {
    "COMMAND",        "DESCRIPTION",   "OFFLINE",      "BP3",          "SP3",
    "COMPORT",        "BAUDRATE",      "BP2",          "POINT",        "POINT0",
    "POINT1",         "VALUE",         "VERSIONCHECK", "DEBUGMODE",    "PANELTYPE",
    "LOCKCOMMENT",    "DRIVERCOMMAND", "POINTNAME",    "POINTADDRESS", "COMMANDSTRING",
    "CONNECTIONTYPE", "TIMEOUT",       "RETRIES",      "GAP",          "CONNECTPAUSE"};
inline const char* const kValues[] = {"COMMANDSTATUS",
                                      "SITETIME",
                                      "SITESTATUS",
                                      "POINTVERIFY",
                                      "POINTGETVALUE",
                                      "POINTMODIFY",
                                      "SENDPOINTSLIST",
                                      "GETPOINTSLIST",
                                      "GETALARMS",
                                      "GETDATA",
                                      "SENDDATA",
                                      "LOCKCLIENT",
                                      "TRUE",
                                      "FALSE",
                                      "1.8",
                                      "Plant",
                                      "{a}{1-HREG1}",
                                      "{x}{HREG40}{VALUE=5}",
                                      "127.0.0.1:1502",
                                      "0",
                                      "010300000002",
                                      "MODEM",
                                      "TOGGLE"};

}  // namespace qmb::fuzz
