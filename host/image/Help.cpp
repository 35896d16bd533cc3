// What --help says of the image input: the formats this build reads, which
// of them stream and which are decoded whole, and whether it resizes.
#include <string>

#include "host/image/ImageInput.h"
#include "host/image/readers/Formats.h"
#include "host/image/readers/ImageReader.h"
#include "host/image/stages/Resample.h"

const char* ImageInputHelp() {
  static const std::string text = [] {
    std::string streamed, whole;
    auto add = [](std::string* list, const char* item) {
      if (!list->empty()) *list += ", ";
      *list += item;
    };
    if (kSystemDecoders != nullptr) {
      // The system's decoders may hold any image whole; it is counted so.
      add(&whole, (std::string("JPEG, PNG, TIFF and GIF, by ") + kSystemDecoders).c_str());
    } else {
      if (kJpegReader != nullptr) {
        add(&streamed, "baseline JPEG");
        add(&whole, "progressive JPEG");
      }
      if (kPngReader != nullptr) {
        add(&streamed, "non-interlaced PNG");
        add(&whole, "interlaced PNG");
      }
      if (kTiffReader != nullptr) {
        add(&streamed, "TIFF in strips or tiles");
        add(&whole, "TIFF with separate planes or an encoding read through libtiff's RGBA interface");
      }
      if (kGifReader != nullptr) {
        add(&streamed, "non-interlaced GIF");
        add(&whole, "interlaced GIF");
      }
    }
    add(&streamed, "PNM and PAM");
    if (kWebpReader != nullptr) add(&whole, "WebP");
    if (kHeifReader != nullptr) add(&whole, "HEIF/HEIC, AVIF");
    if (kJxlReader != nullptr) add(&whole, "JPEG XL");
    // Orientation comes with the formats that carry it.
    if (!whole.empty()) add(&whole, "any image whose orientation turns it or flips it upside down");
    std::string s = "Input formats (recognised by content): " + ReadableFormats() + ".\n";
    s += "Decoded a band at a time, however tall: " + streamed + ".\n";
    if (!whole.empty()) s += "Decoded whole, in memory: " + whole + ".\n";
    s += "Each image opens in its own mode: gray, rgb, cmyk or lab as stored. Palette images\n"
         "(GIF, palette PNG and TIFF) open as rgb, or gray when every colour of the palette is\n"
         "grey; --mode indexed gives their indices. Grey with alpha and 1-bit images open as\n"
         "gray; alpha is composited over white unless kept; channels beyond colour and alpha\n"
         "show only in multichannel mode, as do images whose channels have no known colour.\n";
    if (ResamplingAvailable()) {
      s += "Resizing averages colour before converting it (Lanczos 3, zimg), a band at a\n"
           "time; a JPEG at 1/2, 1/4 or 1/8 of its size or less is first shrunk by its decoder.\n";
    } else {
      s += "This build cannot resize images (it was built without zimg).\n";
    }
    return s;
  }();
  return text.c_str();
}
