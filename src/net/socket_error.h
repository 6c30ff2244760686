#pragma once
// Error texts of the socket layer. Users and older log readers know socket failures by the classic
// BSD/WinSock wording ("Connection refused", "Address already in use"), so every failure Qt reports
// is turned into one of those numbered texts instead of Qt's own message.

#include <QAbstractSocket>
#include <QString>

#include <string_view>

namespace geomuxer {

/// Code of a socket failure that has no better match: its text is kSocketUnknownErrorText.
inline constexpr int kSocketUnknownError = 0;
/// Text for codes missing from the table.
inline constexpr std::string_view kSocketUnknownErrorText = "Not a WinSock error";

/// Codes the socket layer reports itself (the classic WinSock numbers).
enum SocketErrorCode : int {
  sockBadAddress = 10014,     ///< a host name that does not resolve
  sockNoBufferSpace = 10055,  ///< a client that stopped reading
};

/// The text of a numbered socket error; kSocketUnknownErrorText for a number not in the table.
[[nodiscard]] std::string_view socketErrorText(int code);

/// The numbered error that best describes a failure Qt reported. Qt folds several system errors
/// into NetworkError and tells them apart only by its message, so that is looked at too.
[[nodiscard]] int socketErrorCode(QAbstractSocket::SocketError error, const QString& qtMessage = {});

/// socketErrorText(socketErrorCode(...)) as a QString, for signals.
[[nodiscard]] QString socketErrorMessage(QAbstractSocket::SocketError error, const QString& qtMessage = {});
[[nodiscard]] QString socketErrorMessage(int code);

}  // namespace geomuxer
