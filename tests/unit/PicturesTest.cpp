// The pictures the build compiles into the wizard (tools/pictures) against
// their PNG files in app/resources, read by Qt's own PNG reader: the same
// pixels, in the layout the screen takes them in, at the sizes the windows
// place them at.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>

#include <QImage>

#include "app/U_Pictures.h"

namespace {

const TEmbeddedPicture* Find(const char* name) {
  for (std::size_t i = 0; i < EmbeddedPictureCount; ++i)
    if (std::strcmp(EmbeddedPictures[i].Name, name) == 0) return &EmbeddedPictures[i];
  return nullptr;
}

}  // namespace

TEST(Pictures, EachOneTheWizardShowsHasItsSize) {
  struct TRow {
    const char* Name;
    int Width, Height;
  };
  const TRow rows[] = {
      {"icon32", 32, 32},     // the title strip's program icon
      {"icon256", 256, 256},  // the windows' icon
      {"side", 120, 253},     // the side picture
      {"check", 12, 13},      // the step mark
  };
  EXPECT_EQ(EmbeddedPictureCount, std::size(rows));
  for (const TRow& row : rows) {
    SCOPED_TRACE(row.Name);
    const TEmbeddedPicture* p = Find(row.Name);
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(p->Width, row.Width);
    EXPECT_EQ(p->Height, row.Height);
  }
}

TEST(Pictures, PixelsAreThoseOfThePngFile) {
  const char* sourceDir = std::getenv("BREVANT_SOURCE_DIR");
  ASSERT_NE(sourceDir, nullptr);
  for (std::size_t i = 0; i < EmbeddedPictureCount; ++i) {
    const TEmbeddedPicture& p = EmbeddedPictures[i];
    SCOPED_TRACE(p.Name);
    const QImage png(QString::fromStdString(std::string(sourceDir) + "/app/resources/" + p.Source));
    ASSERT_FALSE(png.isNull()) << p.Source;
    EXPECT_EQ(p.Alpha, png.hasAlphaChannel());
    const QImage expected =
        png.convertToFormat(png.hasAlphaChannel() ? QImage::Format_ARGB32_Premultiplied : QImage::Format_RGB32);
    ASSERT_EQ(QSize(p.Width, p.Height), expected.size());
    int differing = 0;
    for (int y = 0; y < p.Height; ++y) {
      const auto* line = reinterpret_cast<const std::uint32_t*>(expected.constScanLine(y));
      for (int x = 0; x < p.Width; ++x) differing += p.Pixels[y * p.Width + x] != line[x];
    }
    EXPECT_EQ(differing, 0);
  }
}
