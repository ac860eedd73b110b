#include "PalvexDrv/host/rule_chain.h"

#include <errno.h>
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <sstream>

extern char** environ;

namespace {

const char* const kTools[] = {"iptables", "ip6tables"};

ToolArgs Queue(const SRuleChainConfig& config, ToolArgs match) {
  ToolArgs args = {"-w", "-A", config.chain};
  args.insert(args.end(), match.begin(), match.end());
  for (const char* word : {"-j", "NFQUEUE", "--queue-num"}) args.emplace_back(word);
  args.push_back(std::to_string(config.queueNumber));
  args.emplace_back("--queue-bypass");
  return args;
}

std::string Hex(uint32_t value) {
  std::ostringstream text;
  text << "0x" << std::hex << value;
  return text.str();
}

}  // namespace

std::vector<ToolArgs> ChainInstallCommands(const SRuleChainConfig& config) {
  const std::string& c = config.chain;
  std::vector<ToolArgs> commands = {
      {"-w", "-N", c},
      {"-w", "-A", c, "-p", "tcp", "-m", "mark", "--mark", Hex(config.blockMark), "-j", "REJECT", "--reject-with",
       "tcp-reset"},
  };
  if (config.ownMark != 0) commands.push_back({"-w", "-A", c, "-m", "mark", "--mark", Hex(config.ownMark), "-j", "ACCEPT"});
  for (ToolArgs rule : {Queue(config, {"-p", "udp"}), Queue(config, {"-p", "tcp", "--syn"}),
                        ToolArgs{"-w", "-I", "OUTPUT", "1", "-p", "udp", "--dport", "53", "-j", c},
                        ToolArgs{"-w", "-I", "OUTPUT", "1", "-p", "tcp", "--dport", "53", "-j", c},
                        ToolArgs{"-w", "-I", "INPUT", "1", "-p", "udp", "--sport", "53", "-j", c}})
    commands.push_back(std::move(rule));
  return commands;
}

std::vector<ToolArgs> ChainRemoveCommands(std::string_view chain, std::string_view outputListing,
                                          std::string_view inputListing) {
  std::vector<ToolArgs> commands;
  for (std::string_view listing : {outputListing, inputListing}) {
    std::istringstream lines{std::string(listing)};
    std::string line;
    while (std::getline(lines, line)) {
      std::istringstream words(line);
      ToolArgs rule;
      std::string word;
      while (words >> word) rule.push_back(word);
      bool jumps = false;
      for (size_t i = 0; i + 1 < rule.size(); ++i)
        if (rule[i] == "-j" && rule[i + 1] == chain) jumps = true;
      if (!jumps || rule.empty() || rule[0] != "-A") continue;
      rule[0] = "-D";
      rule.insert(rule.begin(), "-w");
      commands.push_back(rule);
    }
  }
  commands.push_back({"-w", "-F", std::string(chain)});
  commands.push_back({"-w", "-X", std::string(chain)});
  return commands;
}

int RunTool(const std::string& tool, const ToolArgs& args, std::string* output) {
  int pipeFds[2] = {-1, -1};
  if (output && pipe2(pipeFds, O_CLOEXEC) != 0) return -1;
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  if (output) posix_spawn_file_actions_adddup2(&actions, pipeFds[1], 1);
  // The tools' complaints about a chain that is not there are expected noise.
  posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
  if (!output) posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
  std::vector<char*> argv;
  argv.push_back(const_cast<char*>(tool.c_str()));
  for (const std::string& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
  argv.push_back(nullptr);
  pid_t pid;
  int spawned = posix_spawnp(&pid, tool.c_str(), &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  if (output) close(pipeFds[1]);
  if (spawned != 0) {
    if (output) close(pipeFds[0]);
    return -1;
  }
  if (output) {
    char buffer[4096];
    ssize_t n;
    while ((n = read(pipeFds[0], buffer, sizeof(buffer))) > 0) output->append(buffer, static_cast<size_t>(n));
    close(pipeFds[0]);
  }
  int status = 0;
  while (waitpid(pid, &status, 0) < 0)
    if (errno != EINTR) return -1;
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

bool CRuleChain::Install(std::string& error) {
  for (const char* tool : kTools) RemoveFor(tool);
  m_installed = true;
  for (const char* tool : kTools) {
    for (const ToolArgs& args : ChainInstallCommands(m_config)) {
      if (RunTool(tool, args) == 0) continue;
      error = std::string(tool);
      for (const std::string& arg : args) error += " " + arg;
      error += " failed";
      Remove();
      return false;
    }
  }
  return true;
}

void CRuleChain::Remove() {
  if (!m_installed) return;
  for (const char* tool : kTools) RemoveFor(tool);
  m_installed = false;
}

void CRuleChain::RemoveLeftovers() {
  for (const char* tool : kTools) RemoveFor(tool);
}

void CRuleChain::RemoveFor(const std::string& tool) {
  std::string output, input;
  RunTool(tool, {"-w", "-S", "OUTPUT"}, &output);
  RunTool(tool, {"-w", "-S", "INPUT"}, &input);
  for (const ToolArgs& args : ChainRemoveCommands(m_config.chain, output, input)) RunTool(tool, args);
}
