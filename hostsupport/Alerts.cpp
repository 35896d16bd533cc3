#include "hostsupport/Alerts.h"

#include <cinttypes>
#include <cmath>
#include <cstdio>
#include <cstring>

#include "platform/MessageBox.h"
#include "platform/ModuleResources.h"

namespace {

// The exact decimal expansion of a double's magnitude. A double's fraction
// has at most 1074 binary places, so its decimal fraction ends within 1074
// digits.
const int kMaxFractionDigits = 1080;
const int kFractionWords = 35;  // 1120 bits of binary fraction

struct ExactDecimal {
  uint32_t whole;
  int digitCount;  // digits past this are 0
  uint8_t digits[kMaxFractionDigits];  // digits[0] is the first place after the point
};

void ExpandExactly(double magnitude, ExactDecimal* out) {
  out->whole = 0;
  out->digitCount = 0;
  // Beyond the range callers use; kept finite and in range rather than
  // converted with undefined behaviour.
  if (!(magnitude >= 0.0)) magnitude = 0.0;
  if (magnitude >= 4294967295.0) magnitude = 4294967295.0;

  double whole = std::floor(magnitude);
  out->whole = static_cast<uint32_t>(whole);
  double fraction = magnitude - whole;  // exact for doubles

  // The binary fraction as a fixed-point number, most significant word first;
  // scaling by 2^32 and removing the integer part are both exact.
  uint32_t words[kFractionWords];
  for (int i = 0; i < kFractionWords; ++i) {
    fraction *= 4294967296.0;
    double word = std::floor(fraction);
    words[i] = static_cast<uint32_t>(word);
    fraction -= word;
  }

  // Decimal digits: multiply the fraction by ten; what carries out of the
  // top is the next digit.
  for (;;) {
    bool anyBits = false;
    for (int i = 0; i < kFractionWords; ++i) anyBits = anyBits || words[i] != 0;
    if (!anyBits || out->digitCount == kMaxFractionDigits) break;
    uint64_t carry = 0;
    for (int i = kFractionWords - 1; i >= 0; --i) {
      uint64_t t = static_cast<uint64_t>(words[i]) * 10u + carry;
      words[i] = static_cast<uint32_t>(t);
      carry = t >> 32;
    }
    out->digits[out->digitCount++] = static_cast<uint8_t>(carry);
  }
}

int DigitAt(const ExactDecimal& x, int place) {  // place 1 = first after the point
  return place >= 1 && place <= x.digitCount ? x.digits[place - 1] : 0;
}

// Adds five units of `place` (which holds a digit of 5 or more).
void AddFiveAt(ExactDecimal* x, int place) {
  int i = place - 1;
  x->digits[i] = static_cast<uint8_t>(x->digits[i] + 5);
  for (; i >= 0 && x->digits[i] >= 10; --i) {
    x->digits[i] = static_cast<uint8_t>(x->digits[i] - 10);
    if (i > 0) {
      ++x->digits[i - 1];
    } else {
      ++x->whole;
    }
  }
}

bool RestIsZero(const ExactDecimal& x, int afterPlace) {
  for (int place = afterPlace + 1; place <= x.digitCount; ++place) {
    if (x.digits[place - 1] != 0) return false;
  }
  return true;
}

}  // namespace

bool AdvanceStateAvailable(AdvanceStateProc callback) { return callback != nullptr; }

bool CheckAdvanceState(AdvanceStateProc callback, PlatformInstance instance) {
  bool available = AdvanceStateAvailable(callback);
  if (!available) {
    CountedString version;
    ClearString(&version);
    FormatDecimal(&version, 3.0, 1);
    ShowAlertMessage(instance, nullptr, kAlertRequiresHost, kMessageRequiresHostVersion, &version,
                     nullptr);
  }
  return available;
}

int16_t ShowAlertMessage(PlatformInstance instance, PlatformWindow owner, int16_t alertId,
                         int16_t messageId, const CountedString* replacement1,
                         const CountedString* replacement2) {
  if (alertId == 0) return 0;
  CountedString message;
  ClearString(&message);
  if (messageId > 0) {
    char loaded[256];
    int n = PlatformLoadString(instance, static_cast<unsigned>(messageId), loaded, 255);
    AppendChars(&message, loaded, 0, static_cast<int16_t>(n));
  }
  SubstitutePlaceholders(&message, nullptr, replacement1, replacement2);
  int answer = PlatformMessageBox(owner, message.chars, nullptr,
                                  kMessageBoxOk | kMessageBoxIconExclamation);
  return static_cast<int16_t>(answer);
}

void SubstitutePlaceholders(CountedString* text, const CountedString* replacement0,
                            const CountedString* replacement1, const CountedString* replacement2) {
  const CountedString* replacements[3] = {replacement0, replacement1, replacement2};
  int p = 0;
  bool afterCaret = false;
  while (p < text->length) {
    ++p;
    char c = text->chars[p - 1];
    if (c == '^') {
      afterCaret = true;
      continue;
    }
    if (afterCaret && c >= '0' && c <= '2') {
      afterCaret = false;
      const CountedString* replacement = replacements[c - '0'];
      CountedString rebuilt;
      ClearString(&rebuilt);
      AppendChars(&rebuilt, CountedBytes(text), 1, static_cast<int16_t>(p - 2));
      if (replacement != nullptr) {
        AppendChars(&rebuilt, CountedBytes(replacement), 1, replacement->length);
      }
      AppendChars(&rebuilt, CountedBytes(text), static_cast<int16_t>(p + 1),
                  static_cast<int16_t>(text->length - p));
      std::memcpy(text, &rebuilt, sizeof rebuilt);
      // Go on with the character that now stands where the digit stood.
      --p;
      continue;
    }
    afterCaret = false;
  }
}

void FormatDecimal(CountedString* destination, double value, int16_t decimals) {
  bool negative = value < 0;
  ClearString(destination);
  int d = decimals < 1 ? 1 : decimals;

  ExactDecimal m;
  ExpandExactly(std::fabs(value), &m);

  if (DigitAt(m, d + 1) >= 5) AddFiveAt(&m, d + 1);
  if (d > 1 && DigitAt(m, d) == 0) --d;

  if (negative) AppendChar(destination, '-');
  CountedString whole;
  uint32_t n = m.whole > INT32_MAX ? static_cast<uint32_t>(INT32_MAX) : m.whole;
  LongToString(static_cast<int32_t>(n), &whole);
  AppendChars(destination, CountedBytes(&whole), 1, whole.length);
  AppendChar(destination, '.');

  // At least one decimal; then on until the rest is zero or d runs out.
  // The string's own limit keeps an overlong request inside its 256 bytes.
  for (int place = 1;; ++place) {
    AppendChar(destination, static_cast<char>('0' + DigitAt(m, place)));
    if (RestIsZero(m, place)) break;
    if (--d <= 0) break;
  }
}

double IntPower(uint32_t base, int16_t exponent) {
  double result = 1.0;
  for (int16_t i = 0; i < exponent; ++i) result *= static_cast<double>(base);
  return result;
}

void LongToString(int32_t value, CountedString* destination) {
  ClearString(destination);
  char buffer[33];
  int n = std::snprintf(buffer, sizeof buffer, "%" PRId32, value);
  if (n > 0) AppendChars(destination, buffer, 0, static_cast<int16_t>(n));
}
