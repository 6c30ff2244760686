#include "net/socket_error.h"

#include <algorithm>
#include <array>
#include <utility>

namespace geomuxer {
namespace {

struct CodeText {
  int code;
  std::string_view text;
};

// Sorted by code for the binary search.
constexpr std::array<CodeText, 50> kErrorTexts{{
    {10004, "Interrupted system call"},
    {10009, "Bad file number"},
    {10013, "Permission denied"},
    {10014, "Bad address"},
    {10022, "Invalid argument"},
    {10024, "Too many open files"},
    {10035, "Operation would block"},
    {10036, "Operation in progress"},
    {10037, "Operation already in progress"},
    {10038, "Socket operation on non-socket"},
    {10039, "Destination address required"},
    {10040, "Message too long"},
    {10041, "Protocol wrong type for socket"},
    {10042, "Protocol not available"},
    {10043, "Protocol not supported"},
    {10044, "Socket type not supported"},
    {10045, "Operation not supported on socket"},
    {10046, "Protocol family not supported"},
    {10047, "Address family not supported by protocol family"},
    {10048, "Address already in use"},
    {10049, "Can't assign requested address"},
    {10050, "Network is down"},
    {10051, "Network is unreachable"},
    {10052, "Network dropped connection on reset"},
    {10053, "Software caused connection abort"},
    {10054, "Connection reset by peer"},
    {10055, "No buffer space available"},
    {10056, "Socket is already connected"},
    {10057, "Socket is not connected"},
    {10058, "Can't send after socket shutdown"},
    {10059, "Too many references: can't splice"},
    {10060, "Connection timed out"},
    {10061, "Connection refused"},
    {10062, "Too many levels of symbolic links"},
    {10063, "File name too long"},
    {10064, "Host is down"},
    {10065, "No route to host"},
    {10066, "Directory not empty"},
    {10067, "Too many processes"},
    {10068, "Too many users"},
    {10069, "Disk quota exceeded"},
    {10070, "Stale NFS file handle"},
    {10071, "Too many levels of remote in path"},
    {10091, "Network sub-system is unusable"},
    {10092, "WinSock DLL cannot support this application"},
    {10093, "WinSock not initialized"},
    {11001, "Host not found"},
    {11002, "Non-authoritative host not found"},
    {11003, "Non-recoverable error"},
    {11004, "No Data"},
}};

using QtError = QAbstractSocket::SocketError;

// Qt errors with one meaning. NetworkError is resolved by message below; the rest stay unknown.
constexpr std::array<std::pair<QtError, int>, 13> kQtErrorCodes{{
    {QAbstractSocket::ConnectionRefusedError, 10061},
    {QAbstractSocket::RemoteHostClosedError, 10054},
    {QAbstractSocket::HostNotFoundError, 11001},
    {QAbstractSocket::SocketAccessError, 10013},
    {QAbstractSocket::SocketResourceError, 10055},
    {QAbstractSocket::SocketTimeoutError, 10060},
    {QAbstractSocket::DatagramTooLargeError, 10040},
    {QAbstractSocket::AddressInUseError, 10048},
    {QAbstractSocket::SocketAddressNotAvailableError, 10049},
    {QAbstractSocket::UnsupportedSocketOperationError, 10045},
    {QAbstractSocket::UnfinishedSocketOperationError, 10036},
    {QAbstractSocket::TemporaryError, 10035},
    {QAbstractSocket::NetworkError, 10050},
}};

// Qt's messages for the system errors it reports as NetworkError.
constexpr std::array<std::pair<std::string_view, int>, 6> kNetworkMessages{{
    {"timed out", 10060},
    {"Host unreachable", 10065},
    {"Network unreachable", 10051},
    {"Connection refused", 10061},
    {"Address already in use", 10048},
    {"Address in use", 10048},
}};

}  // namespace

std::string_view socketErrorText(int code) {
  const auto* it = std::lower_bound(kErrorTexts.begin(), kErrorTexts.end(), code,
                                    [](const CodeText& entry, int c) { return entry.code < c; });
  if (it != kErrorTexts.end() && it->code == code) return it->text;
  return kSocketUnknownErrorText;
}

int socketErrorCode(QAbstractSocket::SocketError error, const QString& qtMessage) {
  if (error == QAbstractSocket::NetworkError) {
    for (const auto& [needle, code] : kNetworkMessages) {
      if (qtMessage.contains(QLatin1String(needle.data(), static_cast<qsizetype>(needle.size())),
                             Qt::CaseInsensitive)) {
        return code;
      }
    }
  }
  for (const auto& [qtError, code] : kQtErrorCodes) {
    if (qtError == error) return code;
  }
  return kSocketUnknownError;
}

QString socketErrorMessage(int code) {
  const std::string_view text = socketErrorText(code);
  return QString::fromLatin1(text.data(), static_cast<qsizetype>(text.size()));
}

QString socketErrorMessage(QAbstractSocket::SocketError error, const QString& qtMessage) {
  return socketErrorMessage(socketErrorCode(error, qtMessage));
}

}  // namespace geomuxer
