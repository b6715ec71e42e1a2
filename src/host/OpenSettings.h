// The open list's values that the driver cannot read as given. Hosts may rely on the defaults the
// driver falls back to (BAUDRATE=fast opens at 38400), so such values are still accepted; but the
// operator is told which keys were replaced and by what, once per open (the log and
// LastErrorDetail), and qmbctl refuses them before they reach the driver.
#pragma once

#include <string>
#include <vector>

#include "model/TypeSite.h"
#include "platform/Variant.h"

namespace qmb {

struct ReplacedSetting {
  std::string key;       // "BAUDRATE"
  std::string given;     // the text as sent
  bool missing = false;  // a key the site needs is not in the list at all
  std::string used;      // what the site uses instead: "38400"; empty: the open is refused
  std::string accepts;   // what the key takes: "a whole number of bits per second ..."
};

// Every key of the list whose value is replaced, in the order of the driver's open keys.
// Never raises: an element without a text form reads as a missing key, as the accessors have it.
std::vector<ReplacedSetting> ReplacedSettings(const Variant& params);

// One line for the log and LastErrorDetail: `BAUDRATE "fast" is not a whole number of bits per
// second ...: 38400 used; IP2 ...`. Empty for an empty list.
std::string DescribeReplacedSettings(const std::vector<ReplacedSetting>& replaced);

// The timing keys (TIMEOUT, RETRIES, GAP, CONNECTPAUSE) read into the site; a key that is absent
// or empty keeps the driver's own budget. A value that is no whole number within the key's bounds
// refuses the open: a device that needs a pause or a longer wait fails in ways hard to trace back
// to a typo. The refusal names the key, the value and what the key accepts; empty when all read.
std::string ReadTimingKeys(const Variant& params, TSite& site);

// The link keys in which a host's open (mine) differs from the site it joins (theirs): a second
// host that opens an existing description gets the first host's link, as designed, so the
// difference is worth one line: `COMPORT 2 (the site has 1); BAUDRATE 9600 (the site has 38400)`.
// Empty when the links agree.
std::string LinkDifferences(const TSite& mine, const TSite& theirs);

}  // namespace qmb
