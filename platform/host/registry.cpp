// The registry seam over the host registry store.
#include "platform/registry.h"

#include <new>
#include <string>

#include "registry_store.h"

namespace platform::registry {
namespace {

// The tree of the batch running on this thread, if any.
thread_local hostcom::RegTree* t_batch = nullptr;

hostcom::RegRoot ToRoot(Root root) {
  return root == Root::ClassesRoot ? hostcom::RegRoot::ClassesRoot : hostcom::RegRoot::LocalMachine;
}

// Applies one change, inside the running batch or as its own transaction.
template <typename Edit>
HRESULT Change(Edit edit) {
  try {
    if (t_batch != nullptr) return edit(*t_batch).ToHresult();
    return hostcom::RegistryStore::Default().Transact(edit).ToHresult();
  } catch (const std::bad_alloc&) {
    return E_OUTOFMEMORY;
  }
}

template <typename Query>
HRESULT Look(Query query) {
  try {
    if (t_batch != nullptr) return query(*t_batch).ToHresult();
    hostcom::RegTree tree;
    hostcom::RegStatus st = hostcom::RegistryStore::Default().Read(tree);
    if (!st) return st.ToHresult();
    return query(tree).ToHresult();
  } catch (const std::bad_alloc&) {
    return E_OUTOFMEMORY;
  }
}

}  // namespace

HRESULT SetString(Root root, ComStringView keyPath, ComStringView valueName, ComStringView value) {
  return Change([&](hostcom::RegTree& t) {
    return t.SetString(ToRoot(root), ComToUtf8(keyPath), ComToUtf8(valueName), ComToUtf8(value));
  });
}

HRESULT CreateKey(Root root, ComStringView keyPath) {
  return Change([&](hostcom::RegTree& t) { return t.CreateKey(ToRoot(root), ComToUtf8(keyPath)); });
}

HRESULT DeleteTree(Root root, ComStringView keyPath) {
  return Change([&](hostcom::RegTree& t) { return t.DeleteTree(ToRoot(root), ComToUtf8(keyPath)); });
}

HRESULT GetString(Root root, ComStringView keyPath, ComStringView valueName, ComString& value) {
  std::string text;
  const HRESULT hr = Look([&](const hostcom::RegTree& t) {
    return t.GetString(ToRoot(root), ComToUtf8(keyPath), ComToUtf8(valueName), text);
  });
  if (SUCCEEDED(hr)) value = Utf8ToCom(text);
  return hr;
}

bool KeyExists(Root root, ComStringView keyPath) {
  bool exists = false;
  Look([&](const hostcom::RegTree& t) {
    exists = t.FindKey(ToRoot(root), ComToUtf8(keyPath)) != nullptr;
    return hostcom::RegStatus::Ok();
  });
  return exists;
}

HRESULT RunBatch(const std::function<HRESULT()>& body) {
  if (t_batch != nullptr) return body();  // already inside a batch: one change
  HRESULT result = S_OK;
  const HRESULT hr = Change([&](hostcom::RegTree& t) {
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
  });
  return FAILED(result) ? result : hr;
}

}  // namespace platform::registry
