// Runs a real kivd for tests: a scratch directory with the repository tree under root(), a free
// loopback port, stderr captured in a log file. "@SCRATCH@" in an extra argument stands for the
// scratch directory. Stopped by its PID and the scratch directory
// removed when the object goes. Used by one test thread.
#ifndef KIV_TESTS_UNIT_SERVICE_KIVD_PROCESS_H_
#define KIV_TESTS_UNIT_SERVICE_KIVD_PROCESS_H_

#include <sys/types.h>

#include <string>
#include <vector>

#include "tests/support/scratch.h"

namespace kiv::test {

class KivdProcess {
 public:
  explicit KivdProcess(std::vector<std::string> extra_args = {});
  ~KivdProcess();
  KivdProcess(const KivdProcess&) = delete;
  KivdProcess& operator=(const KivdProcess&) = delete;

  // Starts the service (on the same port as before, once one was chosen) and waits until it
  // accepts connections. False when it does not come up.
  bool start();
  // SIGKILL and reap.
  void kill_hard();
  // SIGTERM and reap; the exit status as waitpid() reports it, or -1 when it did not end in
  // time (it is then killed).
  int stop();

  const std::string& scratch() const { return scratch_.path(); }  // holds root/ and kivd.log
  const std::string& root() const { return root_; }
  unsigned int port() const { return port_; }
  // The client's address of the Unix socket of a service started with
  // {"--socket", "@SCRATCH@/kivd.sock"}.
  std::string unix_address() const { return "unix:" + scratch() + "/kivd.sock"; }
  pid_t pid() const { return pid_; }
  std::string log() const;

 private:
  std::vector<std::string> extra_args_;
  kiv_test::ScratchDir scratch_;
  std::string root_;
  unsigned int port_ = 0;
  pid_t pid_ = -1;
};

// A loopback TCP port that nothing listens on right now.
unsigned int free_port();
// A connected loopback socket (blocking), or -1.
int connect_loopback(unsigned int port);
// The peak resident size (VmHWM) of process pid in KiB, or -1.
long peak_rss_kib(pid_t pid);

}  // namespace kiv::test

#endif  // KIV_TESTS_UNIT_SERVICE_KIVD_PROCESS_H_
