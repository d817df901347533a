#include "PostgresServer.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <libpq-fe.h>
#include <netinet/in.h>
#include <pwd.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <fstream>
#include <sstream>
#include <thread>
#include <vector>

extern char** environ;

namespace veska::testing {

namespace {

namespace fs = std::filesystem;

// The newest installed server's programs.
fs::path FindPrograms() {
  std::vector<fs::path> found;
  std::error_code error;
  for (const auto& entry : fs::directory_iterator("/usr/lib/postgresql", error)) {
    const fs::path bin = entry.path() / "bin";
    if (fs::exists(bin / "initdb") && fs::exists(bin / "postgres")) found.push_back(bin);
  }
  std::sort(found.begin(), found.end());
  return found.empty() ? fs::path() : found.back();
}

// A port nobody listens on now: the system's pick for a socket bound to port 0.
int FreePort() {
  const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  if (fd < 0) return 0;
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  int port = 0;
  if (::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
      ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) == 0) {
    port = ntohs(address.sin_port);
  }
  ::close(fd);
  return port;
}

const passwd* ServerUser() {
  return ::geteuid() == 0 ? ::getpwnam("nobody") : nullptr;
}

// Starts `argv` in `folder` with its output appended to the folder's log, as the unprivileged
// user when we are root.
pid_t Spawn(std::vector<std::string> argv, const fs::path& folder) {
  if (const passwd* user = ServerUser()) {
    argv.insert(argv.begin(), {"setpriv", "--reuid=" + std::to_string(user->pw_uid),
                               "--regid=" + std::to_string(user->pw_gid), "--clear-groups"});
  }
  std::vector<char*> pointers;
  for (std::string& word : argv) pointers.push_back(word.data());
  pointers.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  const std::string log = (folder / "server.log").string();
  posix_spawn_file_actions_addopen(&actions, 1, log.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
  posix_spawn_file_actions_adddup2(&actions, 1, 2);
  posix_spawn_file_actions_addchdir_np(&actions, folder.c_str());
  pid_t pid = -1;
  if (::posix_spawnp(&pid, pointers[0], &actions, nullptr, pointers.data(), environ) != 0) {
    pid = -1;
  }
  posix_spawn_file_actions_destroy(&actions);
  return pid;
}

bool ExitedWell(pid_t pid) {
  int status = 0;
  return ::waitpid(pid, &status, 0) == pid && WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

}  // namespace

PostgresServer::~PostgresServer() {
  Stop();
  std::error_code error;
  if (!folder_.empty()) fs::remove_all(folder_, error);
}

bool PostgresServer::Prepare() {
  bin_ = FindPrograms();
  if (bin_.empty()) {
    missing_ = true;
    problem_ =
        "no PostgreSQL server under /usr/lib/postgresql/*/bin (scripts/bootstrap installs it)";
    return false;
  }
  // The server's user must reach the folder, which a root's own temporary folder may forbid.
  const passwd* user = ServerUser();
  std::string pattern = ((user ? fs::path("/tmp") : fs::temp_directory_path()) / "veska-pg-XXXXXX");
  if (!::mkdtemp(pattern.data())) {
    problem_ = "cannot make a folder for the server";
    return false;
  }
  folder_ = pattern;
  if (user && ::chown(folder_.c_str(), user->pw_uid, user->pw_gid) != 0) {
    problem_ = "cannot give " + folder_.string() + " to the server's user";
    return false;
  }
  port_ = FreePort();
  const pid_t initdb = Spawn({(bin_ / "initdb").string(), "-A", "trust", "-U", "veska", "-E",
                              "UTF8", "--locale=C", "--no-sync", "-D", (folder_ / "data").string()},
                             folder_);
  if (initdb < 0 || !ExitedWell(initdb)) {
    problem_ = "initdb failed: " + LogTail();
    return false;
  }
  // One user that must give its password, for the tests of a wrong one; the first matching
  // line rules.
  const fs::path rules = folder_ / "data" / "pg_hba.conf";
  std::stringstream old;
  old << std::ifstream(rules).rdbuf();
  std::ofstream(rules) << "host all " << kPasswordUser << " 127.0.0.1/32 scram-sha-256\n"
                       << old.str();
  return !tls_ || MakeCertificates();
}

bool PostgresServer::MakeCertificates() {
  // Elliptic-curve keys: made in an instant, where RSA keys would slow every start.
  const std::vector<std::string> key = {"-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1",
                                        "-nodes"};
  const auto run = [this](std::vector<std::string> argv) {
    const pid_t pid = Spawn(std::move(argv), folder_);
    return pid > 0 && ExitedWell(pid);
  };
  const auto request = [&key](std::vector<std::string> argv) {
    argv.insert(argv.begin() + 2, key.begin(), key.end());
    return argv;
  };
  std::ofstream(folder_ / "server.ext") << "subjectAltName=DNS:localhost\n";
  const bool made =
      run(request({"openssl", "req", "-x509", "-days", "2", "-keyout", "ca.key", "-out", "ca.crt",
                   "-subj", "/CN=veska test ca"})) &&
      run(request({"openssl", "req", "-x509", "-days", "2", "-keyout", "other-ca.key", "-out",
                   "other-ca.crt", "-subj", "/CN=veska test ca"})) &&
      run(request({"openssl", "req", "-keyout", "server.key", "-out", "server.csr", "-subj",
                   "/CN=localhost"})) &&
      run({"openssl", "x509", "-req", "-days", "2", "-in", "server.csr", "-CA", "ca.crt", "-CAkey",
           "ca.key", "-CAcreateserial", "-extfile", "server.ext", "-out", "server.crt"});
  if (!made) {
    problem_ = "cannot make the server's certificate with openssl: " + LogTail();
    return false;
  }
  // The server refuses a key others may read.
  std::error_code error;
  fs::permissions(folder_ / "server.key", fs::perms::owner_read | fs::perms::owner_write, error);
  return true;
}

bool PostgresServer::Start() {
  if (server_ > 0) return true;
  if (folder_.empty() && !Prepare()) return false;
  server_ =
      Spawn({(bin_ / "postgres").string(), "-D", (folder_ / "data").string(), "-p",
             std::to_string(port_), "-k", folder_.string(), "-c", "listen_addresses=127.0.0.1",
             "-c", "fsync=off", "-c", std::string("ssl=") + (tls_ ? "on" : "off"), "-c",
             "ssl_cert_file=" + (folder_ / "server.crt").string(), "-c",
             "ssl_key_file=" + (folder_ / "server.key").string()},
            folder_);
  if (server_ < 0) {
    problem_ = "cannot start " + (bin_ / "postgres").string();
    return false;
  }
  const std::string probe = Address() + "?connect_timeout=1";
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  while (PQping(probe.c_str()) != PQPING_OK) {
    int status = 0;
    const bool exited = ::waitpid(server_, &status, WNOHANG) == server_;
    if (exited || std::chrono::steady_clock::now() > deadline) {
      if (exited) server_ = -1;
      Stop();
      problem_ = "the server did not start: " + LogTail();
      return false;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  return true;
}

void PostgresServer::Stop() {
  if (server_ <= 0) return;
  ::kill(server_, SIGINT);  // fast shutdown: sessions are ended, not waited for
  ::waitpid(server_, nullptr, 0);
  server_ = -1;
}

std::string PostgresServer::Address(std::string_view database) const {
  return "postgresql://veska@127.0.0.1:" + std::to_string(port_) + "/" + std::string(database);
}

std::string PostgresServer::LogTail() const {
  std::ifstream log(folder_ / "server.log");
  std::stringstream text;
  text << log.rdbuf();
  const std::string all = text.str();
  return all.size() > 2000 ? all.substr(all.size() - 2000) : all;
}

}  // namespace veska::testing
