// Writes a C++ source holding pictures as pixels, ready for the screen: the
// program then shows them without decoding anything at start-up.
//
//   PictureGen OUTPUT NAME=FILE [NAME=FILE...]
//
// FILE: a PNG file (any format Qt reads). NAME: the name the program asks
// for. Each picture is stored as 32-bit words in the layout of Qt's
// Format_ARGB32_Premultiplied when it has an alpha channel, else of
// Format_RGB32 (opaque), which is what the toolkit would make of the PNG
// when it shows it. The source defines the table declared in
// app/U_Pictures.h.
//
// Exit code 0 on success, 2 on a bad argument or an unreadable picture, 1
// when the output cannot be written.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include <QImage>
#include <QImageReader>

namespace {

[[noreturn]] void Fail(const std::string& Text) {
  std::fprintf(stderr, "PictureGen: %s\n", Text.c_str());
  std::exit(2);
}

struct TPicture {
  std::string Name;
  std::string Source;  // the file's name without its folder
  QImage Image;        // in the stored format
};

bool ValidName(const std::string& Name) {
  if (Name.empty() || (Name[0] >= '0' && Name[0] <= '9')) return false;
  for (const char c : Name)
    if (!((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_')) return false;
  return true;
}

TPicture ReadPicture(const std::string& Argument) {
  const std::size_t eq = Argument.find('=');
  if (eq == std::string::npos) Fail("expected NAME=FILE: " + Argument);
  TPicture picture;
  picture.Name = Argument.substr(0, eq);
  if (!ValidName(picture.Name)) Fail("bad picture name: " + picture.Name);
  const std::string file = Argument.substr(eq + 1);
  picture.Source = file.substr(file.find_last_of('/') + 1);
  QImageReader reader(QString::fromStdString(file));
  QImage image = reader.read();
  if (image.isNull()) Fail(file + ": " + reader.errorString().toStdString());
  picture.Image =
      image.convertToFormat(image.hasAlphaChannel() ? QImage::Format_ARGB32_Premultiplied : QImage::Format_RGB32);
  return picture;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) Fail("usage: PictureGen OUTPUT NAME=FILE [NAME=FILE...]");
  std::vector<TPicture> pictures;
  for (int i = 2; i < argc; ++i) pictures.push_back(ReadPicture(argv[i]));

  std::ofstream out(argv[1], std::ios::binary | std::ios::trunc);
  out << "// Written by PictureGen: the pictures as pixels. Do not edit.\n"
         "#include \"app/U_Pictures.h\"\n\n"
         "namespace {\n";
  char word[16];
  for (const TPicture& p : pictures) {
    out << "const std::uint32_t k" << p.Name << "[] = {";
    int n = 0;
    for (int y = 0; y < p.Image.height(); ++y) {
      const auto* line = reinterpret_cast<const std::uint32_t*>(p.Image.constScanLine(y));
      for (int x = 0; x < p.Image.width(); ++x, ++n) {
        std::snprintf(word, sizeof word, "0x%08X,", static_cast<unsigned>(line[x]));
        out << (n % 10 == 0 ? "\n    " : " ") << word;
      }
    }
    out << "\n};\n";
  }
  out << "}  // namespace\n\n"
         "const TEmbeddedPicture EmbeddedPictures[] = {\n";
  for (const TPicture& p : pictures)
    out << "    {\"" << p.Name << "\", \"" << p.Source << "\", " << p.Image.width() << ", " << p.Image.height() << ", "
        << (p.Image.hasAlphaChannel() ? "true" : "false") << ", k" << p.Name << "},\n";
  out << "};\nconst std::size_t EmbeddedPictureCount = " << pictures.size() << ";\n";
  out.close();
  if (!out) {
    std::fprintf(stderr, "PictureGen: cannot write %s\n", argv[1]);
    return 1;
  }
  return 0;
}
