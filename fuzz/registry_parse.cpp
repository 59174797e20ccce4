// The host registry store's text parser: a .reg file on disk is untrusted.
// Whatever the text, parsing ends with a tree or a Malformed status. A tree it
// accepts must survive the store's rewrite: its serialized text parses again
// to the very same text, or the next transaction would write a file that the
// store itself refuses (or reads back differently).
#include <cstdint>
#include <string>
#include <string_view>

#include "fuzz_support.h"
#include "registry_store.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);

  hostcom::RegTree tree;
  const hostcom::RegStatus status = hostcom::RegTree::Parse(text, tree, "fuzz.reg");
  if (!status) {
    FUZZ_CHECK(status.code == hostcom::RegStatus::Code::Malformed);
    FUZZ_CHECK(!status.message.empty());
    // A failed parse leaves the target untouched: still the empty tree.
    FUZZ_CHECK(tree.Serialize() == hostcom::RegTree().Serialize());
    return 0;
  }

  const std::string once = tree.Serialize();
  hostcom::RegTree again;
  const hostcom::RegStatus reparsed = hostcom::RegTree::Parse(once, again, "rewritten.reg");
  if (!reparsed) {
    std::fprintf(stderr, "rewritten text does not parse: %s\n", reparsed.message.c_str());
    FUZZ_CHECK(reparsed.ok());
  }
  FUZZ_CHECK(again.Serialize() == once);

  // The lookups the library makes on a parsed tree.
  std::string value;
  (void)tree.GetString(hostcom::RegRoot::LocalMachine, "SYSTEM\\CurrentControlSet\\Control\\Class", "DevSymLink",
                       value);
  (void)tree.FindKey(hostcom::RegRoot::ClassesRoot, "CLSID");
  return 0;
}
