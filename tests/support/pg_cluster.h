#pragma once
// A throw-away PostgreSQL 15 server for one test binary, made by pg_virtualenv (postgresql-common)
// on first use and removed when the binary ends. The server's address and credentials land in
// this process's PG* environment variables, so libpq and psql find it by themselves. Where
// pg_virtualenv or the server is missing, available() is false and reason() says why.

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <thread>

#include <gtest/gtest.h>

namespace geomuxer::test {

class PgCluster {
 public:
  /// The binary's cluster, started at the first call.
  static PgCluster& instance() {
    static PgCluster* cluster = [] {
      auto* c = new PgCluster;
      ::testing::AddGlobalTestEnvironment(new Stopper(*c));
      c->start();
      return c;
    }();
    return *cluster;
  }

  [[nodiscard]] bool available() const { return m_pid > 0 && m_ready; }
  [[nodiscard]] const std::string& reason() const { return m_reason; }

  /// A new empty database and its URI; credentials come from the environment.
  std::string createDatabase() {
    const std::string name = "geomuxer_test_" + std::to_string(++m_databases);
    run("psql -qXAt -d postgres -c 'CREATE DATABASE " + name + "'");
    return "postgresql:///" + name;
  }

  /// Stops the server (fast shutdown: sessions are ended) or starts it again.
  bool stopServer() { return run("pg_ctlcluster 15 regress stop -m fast") == 0; }
  bool startServer() { return run("pg_ctlcluster 15 regress start") == 0; }

  /// A query through psql; its output without the last newline.
  static std::string query(const std::string& database, const std::string& sql) {
    const std::string command = "psql -qXAt -d " + database + " -c \"" + sql + "\" 2>&1";
    std::string out;
    if (FILE* pipe = ::popen(command.c_str(), "r")) {
      char buf[4096];
      std::size_t n;
      while ((n = std::fread(buf, 1, sizeof buf, pipe)) > 0) out.append(buf, n);
      ::pclose(pipe);
    }
    while (!out.empty() && out.back() == '\n') out.pop_back();
    return out;
  }

  void stop() {
    if (m_pid <= 0) return;
    ::close(m_input);  // the waiting shell ends, and pg_virtualenv removes the cluster
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    int status = 0;
    while (::waitpid(m_pid, &status, WNOHANG) == 0) {
      if (std::chrono::steady_clock::now() > deadline) {
        ::kill(m_pid, SIGKILL);
        ::waitpid(m_pid, &status, 0);
        break;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    m_pid = -1;
  }

 private:
  class Stopper : public ::testing::Environment {
   public:
    explicit Stopper(PgCluster& c) : m_cluster(c) {}
    void TearDown() override { m_cluster.stop(); }

   private:
    PgCluster& m_cluster;
  };

  static int run(const std::string& command) {
    const int rc = std::system((command + " >/dev/null 2>&1").c_str());
    return WIFEXITED(rc) ? WEXITSTATUS(rc) : -1;
  }

  void start() {
    if (run("command -v pg_virtualenv") != 0) {
      m_reason = "pg_virtualenv is not installed (postgresql-common)";
      return;
    }
    if (!std::filesystem::exists("/usr/lib/postgresql/15/bin/postgres")) {
      m_reason = "the PostgreSQL 15 server is not installed (postgresql-15)";
      return;
    }
    int in[2];
    int out[2];
    // Close-on-exec: a server restarted from this process must not hold the shell's input open.
    if (::pipe2(in, O_CLOEXEC) != 0 || ::pipe2(out, O_CLOEXEC) != 0) {
      m_reason = "pipe failed";
      return;
    }
    m_pid = ::fork();
    if (m_pid == 0) {
      // pg_virtualenv's own output goes nowhere (it talks while removing the cluster, after this
      // process stopped listening); the shell inside reports the environment on descriptor 3.
      const int null = ::open("/dev/null", O_RDWR);
      ::dup2(in[0], 0);
      ::dup2(out[1], 3);
      ::dup2(null, 1);
      ::dup2(null, 2);
      for (int fd : {in[0], in[1], out[0], out[1], null})
        if (fd > 3) ::close(fd);
      // -t keeps the cluster in a temporary folder even as root, so test binaries do not meet.
      ::execlp("pg_virtualenv", "pg_virtualenv", "-t", "-v", "15", "sh", "-c",
               "env >&3; echo GEOMUXER_READY >&3; exec 3>&-; read x", static_cast<char*>(nullptr));
      ::_exit(127);
    }
    ::close(in[0]);
    ::close(out[1]);
    m_input = in[1];
    std::string text;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (text.find("GEOMUXER_READY\n") == std::string::npos && std::chrono::steady_clock::now() < deadline) {
      pollfd fd{out[0], POLLIN, 0};
      if (::poll(&fd, 1, 200) <= 0) continue;
      char buf[4096];
      const ssize_t n = ::read(out[0], buf, sizeof buf);
      if (n <= 0) break;
      text.append(buf, static_cast<std::size_t>(n));
    }
    ::close(out[0]);
    if (text.find("GEOMUXER_READY\n") == std::string::npos) {
      m_reason = "pg_virtualenv did not start a cluster";
      stop();
      return;
    }
    std::size_t pos = 0;
    while (pos < text.size()) {
      const auto end = text.find('\n', pos);
      const std::string line = text.substr(pos, end - pos);
      pos = end == std::string::npos ? text.size() : end + 1;
      const auto eq = line.find('=');
      if (eq == std::string::npos || line.compare(0, 2, "PG") != 0) continue;
      ::setenv(line.substr(0, eq).c_str(), line.substr(eq + 1).c_str(), 1);
    }
    m_ready = true;
  }

  pid_t m_pid = -1;
  int m_input = -1;
  bool m_ready = false;
  int m_databases = 0;
  std::string m_reason;
};

}  // namespace geomuxer::test
