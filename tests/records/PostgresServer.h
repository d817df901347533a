#pragma once

// A throwaway PostgreSQL server for tests: its own data folder and a free local port, gone with
// the object. It runs as an unprivileged user when the tests run as root, which the server
// refuses to run as. Every user is trusted but kPasswordUser, which must give its password
// over TCP (a test makes the role and sets it).

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
  // A fast shutdown; returns when the server has exited. Start() brings it back on the same
  // folder and port.
  void Stop();

  [[nodiscard]] bool Missing() const { return missing_; }
  [[nodiscard]] const std::string& Problem() const { return problem_; }
  // "postgresql://veska@127.0.0.1:PORT/<database>"
  [[nodiscard]] std::string Address(std::string_view database = "postgres") const;

 private:
  bool Prepare();
  [[nodiscard]] std::string LogTail() const;

  std::filesystem::path bin_;
  std::filesystem::path folder_;
  int port_ = 0;
  pid_t server_ = -1;
  bool missing_ = false;
  std::string problem_;
};

}  // namespace veska::testing
