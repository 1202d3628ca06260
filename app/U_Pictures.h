#pragma once
// The wizard's pictures (the PNG files of app/resources), decoded by the
// build into pixels that are compiled into the program: showing them costs
// no decoding at start-up. The table is defined by the source that
// tools/pictures/PictureGen writes.
#include <cstddef>
#include <cstdint>

struct TEmbeddedPicture {
  const char* Name;    // "icon32", "icon256", "side", "check"
  const char* Source;  // the PNG file it was made from, in app/resources
  int Width;
  int Height;
  // With an alpha channel the words are in the layout of Qt's
  // Format_ARGB32_Premultiplied, else of Format_RGB32; Width * Height words,
  // row after row.
  bool Alpha;
  const std::uint32_t* Pixels;
};

extern const TEmbeddedPicture EmbeddedPictures[];
extern const std::size_t EmbeddedPictureCount;
