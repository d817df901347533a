#pragma once

// A throwaway PostgreSQL server for tests: its own data folder and a free local port, gone with
// the object. It runs as an unprivileged user when the tests run as root, which the server
// refuses to run as. Every user is trusted but kPasswordUser, which must give its password
// over TCP (a test makes the role and sets it). With WithTls() it also speaks TLS, with a
// certificate for "localhost" alone signed by a CA of its own.

#include <sys/types.h>

#include <filesystem>
#include <string>
#include <string_view>

namespace veska::testing {

inline constexpr const char* kPasswordUser = "clerk";

class PostgresServer {
 public:
  PostgresServer() = default;
  ~PostgresServer();
  PostgresServer(const PostgresServer&) = delete;
  PostgresServer& operator=(const PostgresServer&) = delete;

  // Makes the data folder (the first time) and starts the server; true once it accepts
  // connections. Problem() says why not; Missing() when this machine has no server to run.
  [[nodiscard]] bool Start();
  // Before the first Start(): the server offers TLS (made with the openssl command; Start()
  // fails without it).
  void WithTls() { tls_ = true; }
  // A fast shutdown; returns when the server has exited. Start() brings it back on the same
  // folder and port.
  void Stop();

  [[nodiscard]] bool Missing() const { return missing_; }
  [[nodiscard]] const std::string& Problem() const { return problem_; }
  // "postgresql://veska@127.0.0.1:PORT/<database>"
  [[nodiscard]] std::string Address(std::string_view database = "postgres") const;
  // With WithTls(): the CA that signed the server's certificate, and another that did not.
  [[nodiscard]] std::filesystem::path CaFile() const { return folder_ / "ca.crt"; }
  [[nodiscard]] std::filesystem::path OtherCaFile() const { return folder_ / "other-ca.crt"; }
  [[nodiscard]] int Port() const { return port_; }

 private:
  bool Prepare();
  bool MakeCertificates();
  [[nodiscard]] std::string LogTail() const;

  std::filesystem::path bin_;
  std::filesystem::path folder_;
  int port_ = 0;
  pid_t server_ = -1;
  bool missing_ = false;
  bool tls_ = false;
  std::string problem_;
};

}  // namespace veska::testing
