#pragma once
// What the end-to-end tests share: a copy of the real wizard in a folder of
// its own, the reference update server as a process, a stand-in for the
// desktop's opener, a loopback socket that only counts connections, and
// where the wizard's buttons are.
#include <memory>
#include <string>

#include "tests/support/Process.h"
#include "tests/support/ServerProcess.h"
#include "tests/support/TempDir.h"

// Copies the executable into `dir`: the wizard reads the descriptors that
// lie beside it and keeps its log there.
std::string InstallWizard(const TTempDir& dir);
// Copies the demo's descriptors into `dir`.
void InstallDemoDescriptors(const TTempDir& dir);
std::string DemoCatalogue();

// The reference update server on a free port.
class TServerProcess {
 public:
  TServerProcess(const TTempDir& dir, const std::string& catalogue);
  const std::string& Url() const { return FUrl; }
  std::string Log() const { return ReadWholeFile(FOut); }
  // Waits until the server has answered `requests` requests.
  bool WaitForRequests(int requests) const;

 private:
  std::string FOut;
  TChildProcess FProcess;
  std::string FUrl;
};

// A catalogue exported by the update-server program (--export) and served by
// Debian's nginx on a free loopback port (see tests/support/NginxProcess.h).
class TNginxExport {
 public:
  explicit TNginxExport(const std::string& catalogue);
  bool Started() const { return FServer && FServer->Started(); }
  std::string Output() const { return FServer ? FServer->Output() : std::string(); }
  const std::string& Url() const { return FServer->Url(); }
  int Port() const { return FServer->Port(); }
  // Waits until nginx has logged `requests` GET requests.
  bool WaitForRequests(int requests) const;
  // The download address of a product as the export lists it, the one for
  // registered customers or the free one; empty for an unknown ID.
  std::string Download(const std::string& id, bool registered) const;

 private:
  TTempDir FSite, FLogs;
  std::unique_ptr<TServerChild> FServer;
};

// A stand-in xdg-open in `dir`/bin that appends "<time> <document>" to
// `dir`/opened.txt and exits with `exitCode`; returns the bin folder.
std::string InstallOpener(const TTempDir& dir, int exitCode = 0);

// A descriptor of a product the wizard lists (unknown to the demo server),
// and one of the demo's image tool, older than the demo server's version.
extern const char* const ListedDescriptor;
extern const char* const OlderImageToolDescriptor;

// A listening loopback socket that only counts who connects to it.
class TListener {
 public:
  TListener();
  ~TListener();
  std::string Url() const;
  int Accepted();

 private:
  int FFd = -1;
  int FPort = 0;
};

// Whether a library whose file name holds `name` is loaded in the process.
bool HasLibrary(const TChildProcess& process, const std::string& name);

// Whether one of the wizard's buttons shows centred at the client point
// (centreX, centreY) of `window`: its caption and outline break up the band
// of rows through its middle, where an empty stretch of a page is one plain
// colour.
bool ButtonShowsAt(const TXvfb& x, const std::string& window, int centreX, int centreY);

// Client coordinates of the wizard's controls.
namespace WizardAt {
constexpr int PageX = 5 + 1 + 141, PageY = 5 + 1 + 57;
constexpr int LeftButtonX = PageX + 117 + 37, RightButtonX = PageX + 197 + 37, ButtonY = PageY + 231 + 12;
constexpr int ListX = PageX + 5 + 1, ListY = PageY + 5 + 80 + 1;  // the results list
}  // namespace WizardAt
