// Helper for the concurrency test: adds COUNT keys
// HKEY_LOCAL_MACHINE\Software\Writers\PREFIX-N, each with its own transaction,
// to the registry file FILE. Exit 0 when every change succeeded.
#include <cstdio>
#include <cstdlib>
#include <string>

#include "registry_store.h"

int main(int argc, char** argv) {
  if (argc != 4) {
    std::fprintf(stderr, "usage: registry_writer FILE PREFIX COUNT\n");
    return 2;
  }
  hostcom::RegistryStore store(argv[1]);
  const std::string prefix = argv[2];
  const int count = std::atoi(argv[3]);
  for (int i = 0; i < count; ++i) {
    const std::string key = "Software\\Writers\\" + prefix + "-" + std::to_string(i);
    const hostcom::RegStatus st = store.SetString(hostcom::RegRoot::LocalMachine, key, "Index", std::to_string(i));
    if (!st) {
      std::fprintf(stderr, "registry_writer: %s\n", st.message.c_str());
      return 1;
    }
  }
  return 0;
}
