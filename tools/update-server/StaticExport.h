#pragma once
// The catalogue's replies as static files, and an nginx configuration that
// serves them as the reference update server would: for makers whose
// customers are too many for one process, and for any CDN in front.
//
// The update record, the history pointer and the history text of a product
// depend on the catalogue alone, so they are written once as files. What a
// static file server cannot do by itself, nginx.conf does: it finds the
// product a request names exactly as the reference server does (see
// README.md beside this file, "How product IDs arrive"), turns it into the
// product's file name, answers the same error texts, and sends the download
// pages as redirects to the catalogue's download addresses.
//
// The export folder:
//   nginx.conf          `nginx -p FOLDER -c nginx.conf` runs it as it is,
//                       without root: pid, logs and temporary files stay
//                       inside the folder; started by root, nginx runs its
//                       workers as the export's owner, or, for root's own
//                       export, as its unprivileged user, to whom the
//                       export is then opened
//   site/update/NAME    update record of each product
//   site/pointer/NAME   history pointer of each product that has a history
//   site/history/FILE   history texts, under their catalogue-relative names
//   products.tsv        ID, NAME and download addresses, for other servers' rules
//   logs/, temp/        nginx's logs, pid file and temporary files
// NAME is FileName(ID).
#include <cstddef>
#include <filesystem>
#include <stdexcept>
#include <string>
#include <string_view>

#include "UpdateServer.h"

// The export could not be written: wrong options, a folder that holds
// something else, a file that cannot be written.
class EStaticExport : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

struct TStaticExportOptions {
  // Numeric IPv4 or IPv6 address and port nginx listens on.
  std::string Address = "127.0.0.1";
  int Port = 8470;
  // The base address the history pointers name; empty: http://ADDRESS:PORT/,
  // which a wildcard address cannot be.
  std::string PublicUrl;
};

namespace StaticExport {

// First line of every nginx.conf this writes; a folder whose nginx.conf
// starts with it holds an earlier export, which a new one replaces.
inline constexpr std::string_view ConfigMarker = "# Written by update-server --export.";

// IDs up to this long are found by a hash; longer ones by their regular
// expressions only.
inline constexpr std::size_t LongestHashedId = 200;
// The longest word written into nginx.conf: nginx reads words of up to 4 KiB.
// A product's regular expressions take some sixteen bytes per byte of its ID,
// so IDs of up to about 240 bytes can be exported; a longer one is refused.
inline constexpr std::size_t LongestWord = 4000;

// The file name of a product's replies: the ID's bytes, with every byte other
// than a-z, 0-9, "-" and "_" written as "~" and two upper-case hexadecimal
// digits; a "." stays unless it is the first or the last byte. So names are
// safe on every file system and in every URL, never hidden, never "." or
// "..", and two IDs never give names that differ only in letter case. A name
// longer than 200 bytes is cut at 180 and ends in "~~" and 16 hexadecimal
// digits of the ID's 64-bit FNV-1a hash.
std::string FileName(std::string_view id);

// The address a download page redirects to: the catalogue's URL as UTF-8
// (an 8-bit one read as Windows-1252, as the reference server's page links
// it), bytes from 0x80 on %-encoded.
std::string RedirectTarget(std::string_view url);

// The options checked and completed: an error text, or empty when they are
// usable; historyBaseUrl receives the base address of the history pointers.
std::string CheckOptions(const TStaticExportOptions& options, std::string& historyBaseUrl);

// The nginx configuration that serves the catalogue's export; `folder`
// appears in its comments, and its owner (see Export) as the workers' user.
// Throws EStaticExport when the options are wrong.
std::string NginxConfig(const TCatalogue& catalogue, const TStaticExportOptions& options,
                        const std::filesystem::path& folder = {});

// Writes the export into `folder`, which must be missing, empty or hold an
// earlier export (its logs/ and temp/ are kept; everything else is
// replaced). Returns the base address the history pointers name. Throws
// EStaticExport; also, before anything is written, for an export of root
// (or of a user without a name) inside a folder other users may not enter,
// which nginx's unprivileged workers could never read.
std::string Export(const TCatalogue& catalogue, const std::filesystem::path& folder,
                   const TStaticExportOptions& options);

}  // namespace StaticExport
