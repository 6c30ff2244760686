#pragma once
// A real HTTP(S) server on loopback that records every form posted to it. It runs on its own
// threads; the test thread reads what arrived through the mutex-guarded accessors and waits with
// the Qt event loop running, so that the uploader's replies are processed meanwhile.

#include <httplib.h>

#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace geomuxer::test {

struct ReceivedPost {
  std::string path;
  httplib::Headers headers;
  std::vector<std::pair<std::string, std::string>> fields;  // in the order they were sent

  [[nodiscard]] std::string header(const std::string& name) const {
    auto it = headers.find(name);
    return it == headers.end() ? std::string{} : it->second;
  }
  [[nodiscard]] bool hasHeader(const std::string& name) const { return headers.count(name) != 0; }
  [[nodiscard]] std::vector<std::string> names() const {
    std::vector<std::string> out;
    for (const auto& f : fields) out.push_back(f.first);
    return out;
  }
  [[nodiscard]] std::string field(const std::string& name) const {
    for (const auto& f : fields)
      if (f.first == name) return f.second;
    return "<missing>";
  }
};

/// What the server answers to a post; runs on a server thread.
using PostResponder = std::function<void(const ReceivedPost& post, httplib::Response& response)>;

class UploadTestServer {
 public:
  /// Plain HTTP, or HTTPS with the given PEM files; on `port`, or any free one when 0.
  explicit UploadTestServer(const std::string& certFile = {}, const std::string& keyFile = {}, int port = 0) {
    if (certFile.empty())
      m_server = std::make_unique<httplib::Server>();
    else
      m_server = std::make_unique<httplib::SSLServer>(certFile.c_str(), keyFile.c_str());
    m_server->Post(".*", [this](const httplib::Request& request, httplib::Response& response,
                                const httplib::ContentReader& reader) { handle(request, response, reader); });
    m_port = port == 0 ? m_server->bind_to_any_port("127.0.0.1")
                       : (m_server->bind_to_port("127.0.0.1", port) ? port : -1);
    if (m_port > 0) m_thread = std::thread([this] { m_server->listen_after_bind(); });
  }

  ~UploadTestServer() {
    release();
    m_server->stop();
    if (m_thread.joinable()) m_thread.join();
  }

  UploadTestServer(const UploadTestServer&) = delete;
  UploadTestServer& operator=(const UploadTestServer&) = delete;

  [[nodiscard]] bool valid() const { return m_port > 0 && m_server->is_valid(); }
  [[nodiscard]] int port() const { return m_port; }

  void setResponder(PostResponder responder) {
    std::lock_guard lock(m_mutex);
    m_responder = std::move(responder);
  }
  /// Posts are held, unanswered, until `release` (or the server's end).
  void hold() {
    std::lock_guard lock(m_mutex);
    m_hold = true;
  }
  void release() {
    {
      std::lock_guard lock(m_mutex);
      m_hold = false;
    }
    m_released.notify_all();
  }

  [[nodiscard]] std::size_t count() const {
    std::lock_guard lock(m_mutex);
    return m_posts.size();
  }
  [[nodiscard]] std::vector<ReceivedPost> posts() const {
    std::lock_guard lock(m_mutex);
    return m_posts;
  }

 private:
  void handle(const httplib::Request& request, httplib::Response& response, const httplib::ContentReader& reader) {
    ReceivedPost post;
    post.path = request.path;
    post.headers = request.headers;
    if (request.is_multipart_form_data()) {
      reader(
          [&](const httplib::MultipartFormData& part) {
            post.fields.emplace_back(part.name, std::string{});
            return true;
          },
          [&](const char* data, std::size_t size) {
            if (!post.fields.empty()) post.fields.back().second.append(data, size);
            return true;
          });
    } else {
      reader([](const char*, std::size_t) { return true; });
    }
    PostResponder responder;
    {
      std::unique_lock lock(m_mutex);
      m_posts.push_back(post);
      m_released.wait_for(lock, std::chrono::seconds(20), [this] { return !m_hold; });
      responder = m_responder;
    }
    response.set_content("<html><body>OK</body></html>", "text/html");
    if (responder) responder(post, response);
  }

  std::unique_ptr<httplib::Server> m_server;
  int m_port = -1;
  std::thread m_thread;
  mutable std::mutex m_mutex;
  std::condition_variable m_released;
  PostResponder m_responder;
  bool m_hold = false;
  std::vector<ReceivedPost> m_posts;
};

}  // namespace geomuxer::test
