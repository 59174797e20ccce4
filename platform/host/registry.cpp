// The registry seam over the host registry store.
#include "platform/registry.h"

#include <new>
#include <string>
#include <utility>

#include "registry_store.h"

namespace platform::registry {
namespace {

// The tree of the batch running on this thread, if any. Static TLS: this code
// is loaded with dlopen, and the leak checker of our toolchain misreads
// dynamically allocated TLS blocks (its tracer crashes at exit); one word
// fits the static surplus glibc keeps for such libraries.
[[gnu::tls_model("initial-exec")]] thread_local hostcom::RegTree* t_batch = nullptr;

bool MachineScope() { return hostcom::RegistrationScope() == hostcom::RegScope::Machine; }

// Where a key lives in the file being changed: as named in the user's file,
// under HKEY_LOCAL_MACHINE in the machine file.
struct Location {
  hostcom::RegRoot root;
  std::string path;
};

bool Locate(Root root, ComStringView keyPath, Location& out) {
  out.root = root == Root::ClassesRoot ? hostcom::RegRoot::ClassesRoot : hostcom::RegRoot::LocalMachine;
  out.path = ComToUtf8(keyPath);
  if (!MachineScope()) return true;
  // A root of its own, never "Software\Classes" itself: deleting it would
  // take every class with it.
  if (out.path.empty() && root == Root::ClassesRoot) return false;
  const std::string path = std::move(out.path);
  return hostcom::MachineLocation(out.root, path, out.root, out.path);
}

hostcom::RegistryStore WritableStore() {
  return MachineScope() ? hostcom::RegistryStore::Machine() : hostcom::RegistryStore::Default();
}

// Applies one change, inside the running batch or as its own transaction.
template <typename Edit>
HRESULT Change(Root root, ComStringView keyPath, Edit edit) {
  try {
    Location at;
    if (!Locate(root, keyPath, at)) return E_INVALIDARG;
    auto apply = [&](hostcom::RegTree& t) { return edit(t, at); };
    if (t_batch != nullptr) return apply(*t_batch).ToHresult();
    return WritableStore().Transact(apply).ToHresult();
  } catch (const std::bad_alloc&) {
    return E_OUTOFMEMORY;
  }
}

// Reads see the batch's tree inside a batch, the machine file alone when
// registering machine-wide, else the merged view of the user's and machine's.
template <typename Query>
HRESULT Look(Root root, ComStringView keyPath, Query query) {
  try {
    Location at;
    if (t_batch != nullptr || MachineScope()) {
      if (!Locate(root, keyPath, at)) return E_INVALIDARG;
      if (t_batch != nullptr) return query(*t_batch, at).ToHresult();
      hostcom::RegTree tree;
      hostcom::RegStatus st = hostcom::RegistryStore::Machine().Read(tree);
      if (!st) return st.ToHresult();
      return query(tree, at).ToHresult();
    }
    at.root = root == Root::ClassesRoot ? hostcom::RegRoot::ClassesRoot : hostcom::RegRoot::LocalMachine;
    at.path = ComToUtf8(keyPath);
    hostcom::RegTree tree;
    hostcom::RegStatus st = hostcom::ReadRegistryView(tree);
    if (!st) return st.ToHresult();
    return query(tree, at).ToHresult();
  } catch (const std::bad_alloc&) {
    return E_OUTOFMEMORY;
  }
}

}  // namespace

HRESULT SetString(Root root, ComStringView keyPath, ComStringView valueName, ComStringView value) {
  return Change(root, keyPath, [&](hostcom::RegTree& t, const Location& at) {
    return t.SetString(at.root, at.path, ComToUtf8(valueName), ComToUtf8(value));
  });
}

HRESULT CreateKey(Root root, ComStringView keyPath) {
  return Change(root, keyPath, [&](hostcom::RegTree& t, const Location& at) { return t.CreateKey(at.root, at.path); });
}

HRESULT DeleteTree(Root root, ComStringView keyPath) {
  return Change(root, keyPath, [&](hostcom::RegTree& t, const Location& at) { return t.DeleteTree(at.root, at.path); });
}

HRESULT GetString(Root root, ComStringView keyPath, ComStringView valueName, ComString& value) {
  std::string text;
  const HRESULT hr = Look(root, keyPath, [&](const hostcom::RegTree& t, const Location& at) {
    return t.GetString(at.root, at.path, ComToUtf8(valueName), text);
  });
  if (SUCCEEDED(hr)) value = Utf8ToCom(text);
  return hr;
}

bool KeyExists(Root root, ComStringView keyPath) {
  bool exists = false;
  Look(root, keyPath, [&](const hostcom::RegTree& t, const Location& at) {
    exists = t.FindKey(at.root, at.path) != nullptr;
    return hostcom::RegStatus::Ok();
  });
  return exists;
}

HRESULT RunBatch(const std::function<HRESULT()>& body) {
  if (t_batch != nullptr) return body();  // already inside a batch: one change
  HRESULT result = S_OK;
  HRESULT hr = S_OK;
  try {
    hr = WritableStore()
             .Transact([&](hostcom::RegTree& t) {
               t_batch = &t;
               try {
                 result = body();
               } catch (...) {
                 t_batch = nullptr;
                 throw;
               }
               t_batch = nullptr;
               return SUCCEEDED(result) ? hostcom::RegStatus::Ok()
                                        : hostcom::RegStatus{hostcom::RegStatus::Code::Aborted, "batch failed"};
             })
             .ToHresult();
  } catch (const std::bad_alloc&) {
    hr = E_OUTOFMEMORY;
  }
  return FAILED(result) ? result : hr;
}

}  // namespace platform::registry
