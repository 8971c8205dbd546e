#pragma once
// Reading the answers of an AT modem: the pieces of the modem dialogue that
// look at the received text, kept apart so they can be checked on their own.

#include <string>

#include "platform/text.h"

namespace qv {

// ASCII upper case; other bytes unchanged.

// The identification a modem gave to ATI: the echo "ATI" taken out once, what
// stands before the first "OK", printable characters only, blanks trimmed.
std::string ModemIdentification(const std::string& buffer);

// The signal level of a "+CSQ: " answer: the two characters before the first
// "," of the buffer, 0..31. Above 31 counts as 31, except 99, which GSM modems
// send for "not known" and which is shown as no signal (0). No answer, or no
// number there, gives 0.
int ModemSignalLevel(const std::string& buffer);

// True when the answer to the dial command says the call cannot be made.
bool DialRefused(const std::string& upperBuffer);
// True when the answer to the dial command says the call is up.
bool DialConnected(const std::string& upperBuffer);

}  // namespace qv
