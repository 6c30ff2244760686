#pragma once
// A listening TCP server that keeps a list of connected clients and sends the same bytes to all
// of them. Clients only listen: whatever they send is read and dropped.
//
// The broadcast path is built for many clients: one immutable block is shared by every client and
// written with a direct non-blocking send on each connection's descriptor. Only a client whose
// kernel buffer is full gets a queue (references to the shared blocks, never copies) and asks for
// write readiness, both dropped again once it has caught up. The clients' descriptors sit in one
// epoll set that the event loop watches through a single notifier, so that a wake-up of the loop
// costs the same with ten clients or ten thousand.

#include <QByteArray>
#include <QHostAddress>
#include <QAbstractSocket>
#include <QObject>
#include <QString>

#include <cstddef>
#include <deque>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "net/send_batch.h"

class QSocketNotifier;
class QTcpServer;

namespace geomuxer {

class TcpServer;
class TcpListener;

/// One immutable broadcast block, shared by every client that still has to send it.
using TcpBlock = std::shared_ptr<const std::string>;

/// One accepted connection. Owned by its server, which deletes it (later, from the event loop)
/// when the connection ends; do not keep the pointer past clientDisconnected.
class TcpServerClient : public QObject {
  Q_OBJECT

 public:
  ~TcpServerClient() override;

  /// The peer's dotted IPv4 address (or IPv6 text for a pure IPv6 peer).
  [[nodiscard]] QString host() const { return m_host; }
  /// The server's port, as the client was accepted on it.
  [[nodiscard]] quint16 port() const { return m_port; }
  /// host() as an IPv4 address in host byte order, 0 when it is not one.
  [[nodiscard]] quint32 ip() const;
  /// Bytes queued for this client and not yet taken by the system.
  [[nodiscard]] qint64 pendingBytes() const { return m_queuedBytes; }

 private:
  friend class TcpServer;
  TcpServerClient(int descriptor, quint16 port, QObject* parent);

  // A queued block and how much of it the system has taken already.
  struct Pending {
    TcpBlock block;
    std::size_t offset = 0;
  };

  void closeSocket();

  int m_fd;
  int m_epoll = -1;  // the server's set, while the descriptor is in it
  std::deque<Pending> m_queue;
  qint64 m_queuedBytes = 0;
  QString m_host;
  quint16 m_port;
  bool m_listed = false;  // in the server's client list
};

/// TCP server. Main thread only. A client's failure drops that client alone; the server keeps
/// listening. Each client's queue of unsent bytes is bounded, so a client that stops reading is
/// dropped instead of making the program grow.
class TcpServer : public QObject {
  Q_OBJECT

 public:
  /// Decides whether an accepted connection is kept; a refused one is closed at once.
  using AcceptFilter = std::function<bool(const TcpServerClient& client)>;

  /// Default bound of a client's unsent bytes: minutes of NMEA at the usual rates.
  static constexpr qint64 kDefaultSendBufferLimit = 256 * 1024;
  /// Default cap on connected clients; one more is closed at once.
  static constexpr int kDefaultMaxClients = 4096;
  /// How long accepting rests after the system refused an accept (out of descriptors, memory).
  static constexpr int kAcceptRetryMs = 1000;

  explicit TcpServer(QObject* parent = nullptr);
  ~TcpServer() override;

  [[nodiscard]] quint16 port() const { return m_port; }
  /// Port to listen on; 0 lets the system choose (see listeningPort). A change while listening
  /// closes every client and listens again on the new port.
  void setPort(quint16 port);
  /// The port actually listened on, 0 while inactive.
  [[nodiscard]] quint16 listeningPort() const;

  /// Address to listen on; all IPv4 addresses by default. Takes effect at the next activation.
  void setListenAddress(const QHostAddress& address) { m_listenAddress = address; }
  [[nodiscard]] QHostAddress listenAddress() const { return m_listenAddress; }

  [[nodiscard]] bool isActive() const;
  /// Starts listening (a failure is reported through errorOccurred and leaves the server
  /// inactive) or stops listening and closes every client without reporting them.
  void setActive(bool active);

  void setAcceptFilter(AcceptFilter filter) { m_acceptFilter = std::move(filter); }

  [[nodiscard]] int maxClients() const { return m_maxClients; }
  void setMaxClients(int clients) { m_maxClients = clients; }

  [[nodiscard]] qint64 sendBufferLimit() const { return m_sendBufferLimit; }
  void setSendBufferLimit(qint64 bytes) { m_sendBufferLimit = bytes; }

  /// Connected clients in the order they connected.
  [[nodiscard]] const std::vector<TcpServerClient*>& clients() const { return m_clients; }

  /// Sends `block` to every client, last connected first, without waiting. A client whose queue
  /// would exceed the bound, or whose connection has failed, is dropped (and reported) and the
  /// others still get the block. Returns the number of clients that got it (sent or queued).
  int sendToAll(const TcpBlock& block);
  /// The same for bytes that are not shared yet: they are copied once into a block.
  int sendToAll(const QByteArray& data);
  /// Sends `block` to one listed client, with the same bound; false when the client was dropped.
  bool sendTo(TcpServerClient* client, const TcpBlock& block);

  /// On (the default): sendToAll hands the kernel every caught-up client's send in one call where
  /// the system allows it. Off: one plain send per client.
  void setBatchedSends(bool on) { m_batch.setBatched(on); }
  [[nodiscard]] bool batchedSends() const { return m_batch.batched(); }

  /// An address of this machine for telling users where to connect: the listening address when
  /// it is a specific one, else the first IPv4 address of a network interface that is up (a
  /// loopback address only when there is nothing else).
  [[nodiscard]] QString localAddress() const;

 signals:
  void clientConnected(geomuxer::TcpServerClient* client);
  /// The client is removed from the list already and deleted after this signal.
  void clientDisconnected(geomuxer::TcpServerClient* client);
  /// Bytes a client sent; they are dropped when nobody listens.
  void clientDataReceived(geomuxer::TcpServerClient* client, const QByteArray& data);
  void errorOccurred(const QString& message);

 private:
  friend class TcpListener;
  void onIncomingConnection(int descriptor);
  void onAcceptError(QAbstractSocket::SocketError error);
  void onEvents();
  // Asks the epoll set for write readiness of `client` too, or no longer.
  void watchWritable(TcpServerClient* client, bool writable);
  void onReadable(TcpServerClient* client);
  void onWritable(TcpServerClient* client);
  // Sends what the client has queued; false when the client was dropped.
  bool flushQueue(TcpServerClient* client);
  // Queues `block` behind what a client has queued already; false when the client was dropped.
  bool enqueue(TcpServerClient* client, const TcpBlock& block);
  // Takes the outcome of a direct send of `block` to a caught-up client (bytes sent or -errno):
  // queues what is left or drops the client; false when it was dropped.
  bool settleSend(TcpServerClient* client, const TcpBlock& block, ssize_t result);
  // Handles a failed send or recv (errno `error`): a peer that went away is a departure, anything
  // else is dropped and reported.
  void onSocketFailure(TcpServerClient* client, int error);
  void onClientDisconnected(TcpServerClient* client);
  void dropClient(TcpServerClient* client, const QString& message);
  bool removeClient(TcpServerClient* client);
  void closeAllClients();

  TcpListener* m_server;  // child
  int m_epoll = -1;               // the clients' descriptors
  QSocketNotifier* m_events;      // child, on m_epoll
  std::vector<TcpServerClient*> m_clients;
  SendBatch m_batch;
  // sendToAll's working lists, kept between broadcasts so that a broadcast allocates nothing.
  std::vector<TcpServerClient*> m_targets;
  std::vector<int> m_descriptors;
  std::vector<ssize_t> m_results;
  QHostAddress m_listenAddress{QHostAddress::AnyIPv4};
  AcceptFilter m_acceptFilter;
  qint64 m_sendBufferLimit = kDefaultSendBufferLimit;
  int m_maxClients = kDefaultMaxClients;
  bool m_acceptFailing = false;  // reported once until an accept works again
  quint16 m_port = 0;
};

}  // namespace geomuxer
