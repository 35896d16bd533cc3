// The check of the host's advance-state callback, the alert that tells the
// user what the plug-in needs, and the number formatting its text uses.
#pragma once

#include <cstdint>

#include "hostsupport/CountedString.h"
#include "platform/Platform.h"
#include "plugin/HostInterface.h"

bool AdvanceStateAvailable(AdvanceStateProc callback);

// True when the host can deliver image data on request; otherwise the user
// has been told which host version the plug-in needs.
bool CheckAdvanceState(AdvanceStateProc callback, PlatformInstance instance);

// Shows string `messageId` with "^1" and "^2" replaced, in a warning box
// without a caption of its own. Nothing is shown for an alertId of 0.
// Returns the box's answer, or 0 when nothing was shown.
int16_t ShowAlertMessage(PlatformInstance instance, PlatformWindow owner, int16_t alertId,
                         int16_t messageId, const CountedString* replacement1,
                         const CountedString* replacement2);

// Replaces the placeholders "^0", "^1" and "^2" in `text`; a replacement
// that is null counts as empty. The text stays within 254 characters.
void SubstitutePlaceholders(CountedString* text, const CountedString* replacement0,
                            const CountedString* replacement1, const CountedString* replacement2);

// `value` with at least one and at most `decimals` decimals, rounded half away
// from zero on the exact value of the double; trailing zeros after the first
// decimal are dropped.
void FormatDecimal(CountedString* destination, double value, int16_t decimals);

double IntPower(uint32_t base, int16_t exponent);

void LongToString(int32_t value, CountedString* destination);

const int16_t kAlertRequiresHost = 16990;        // only its being non-zero counts
const int16_t kMessageRequiresHostVersion = 16992;
