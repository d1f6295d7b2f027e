// Placeholder until the libssh connection lands: no SFTP connection is made.
#include "platform/qt/qt_internal.h"

namespace corvantel::platform::qt {
std::unique_ptr<SftpConnection> makeQtSftp(std::shared_ptr<Context>) { return nullptr; }
}  // namespace corvantel::platform::qt
