#pragma once
// Debian's nginx serving an export folder of the update server
// (update-server --export) as a child process on a loopback port: in the
// foreground, with the folder as its prefix, as a normal user (when the tests
// run as root, as the user nobody, who then owns the folder). Every wait is
// bounded.
#include <functional>
#include <memory>
#include <string>

#include "tests/support/ServerProcess.h"

// The nginx program, found on PATH or in /usr/sbin; empty when it is not
// installed (scripts/install-deps.sh installs it).
std::string NginxProgram();

// A port of 127.0.0.1 that was free a moment ago.
int FreeLoopbackPort();

// Starts nginx in the foreground on the export that `folder` holds for
// `port`, as an operator starts it by hand: as the calling user, or, when
// `user` names one, as that user (through setpriv); waits until it holds the
// port. Started() tells whether it came up.
std::unique_ptr<TServerChild> RunNginx(const std::string& folder, int port, const std::string& outputFile,
                                       const std::string& user = {});

// Has `exportAt(port)` write the export for a free port into `folder`, then
// starts nginx on it and waits until it accepts connections. Another process
// may take the port between the check and nginx's bind, so it tries up to
// three ports. Started() tells whether it came up; Output() holds nginx's
// messages. The folder must be a folder of its own (a TTempDir), since a
// user other than root may have to own it.
std::unique_ptr<TServerChild> StartNginx(const std::string& folder, const std::function<void(int port)>& exportAt,
                                         const std::string& outputFile);

// The maker's production set-up on loopback: turns the nginx.conf of an
// export in `folder` to TLS with HTTP/2, with a self-signed certificate for
// 127.0.0.1 that it makes there with openssl (FOLDER/test-cert.pem, which a
// client trusts as its authority, and FOLDER/test-key.pem). Call it from
// StartNginx's exportAt, after the export. False when openssl or the
// configuration failed.
bool ServeExportOverTls(const std::string& folder);
