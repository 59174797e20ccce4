// The portable preview logic against a scripted filter graph and window
// system: what each sequence of client changes does to the graph, the owner
// lists and the hook.
#include <gtest/gtest.h>

#include <functional>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "camctl/common/results.h"
#include "camctl/preview/preview_graph.h"

namespace camctl {
namespace {

using platform::GraphState;
using platform::PreviewRect;
using platform::WindowHandle;

constexpr WindowHandle kTop = 100;
constexpr WindowHandle kChild = 101;     // a child of kTop
constexpr WindowHandle kOrphan = 102;    // a child whose parent is missing
constexpr WindowHandle kForeign = 200;   // a top-level window of another process
constexpr WindowHandle kTop2 = 300;

// The graph as a DirectShow graph behaves: filters cannot be removed unless it
// is stopped; results can be scripted.
struct FakeGraph final : platform::FilterGraph {
  struct Record {
    int adds = 0, renders = 0, runs = 0, pauses = 0, stops = 0, stateQueries = 0, drains = 0, notices = 0;
    int filters = 0;  // camera filters in the graph
    GraphState state = GraphState::Stopped;
    bool shown = false;
    WindowHandle videoOwner = 0;
    PreviewRect placed;
    bool eventWindowCleared = false;
  };
  std::shared_ptr<Record> r = std::make_shared<Record>();
  HRESULT addResult = S_OK;
  HRESULT renderResult = S_OK;
  HRESULT hideResult = S_OK;
  std::vector<HRESULT> runResults;    // consumed one per Run; then S_OK
  std::vector<HRESULT> stateResults;  // consumed one per GetState; then S_OK
  std::function<void()> onNotify;

  HRESULT AddCameraFilter() override {
    ++r->adds;
    if (FAILED(addResult)) return addResult;
    ++r->filters;
    return S_OK;
  }
  HRESULT RenderCameraOutput() override {
    ++r->renders;
    return renderResult;
  }
  HRESULT RemoveAllFilters() override {
    if (r->state != GraphState::Stopped) return static_cast<HRESULT>(0x80040224u);
    r->filters = 0;
    return S_OK;
  }
  HRESULT GetState(uint32_t, GraphState& state) override {
    ++r->stateQueries;
    state = r->state;
    if (stateResults.empty()) return S_OK;
    const HRESULT hr = stateResults.front();
    stateResults.erase(stateResults.begin());
    return hr;
  }
  HRESULT Run() override {
    ++r->runs;
    HRESULT hr = S_OK;
    if (!runResults.empty()) {
      hr = runResults.front();
      runResults.erase(runResults.begin());
    }
    if (hr == S_OK) r->state = GraphState::Running;
    return hr;
  }
  HRESULT Pause() override {
    ++r->pauses;
    r->state = GraphState::Paused;
    return S_OK;
  }
  HRESULT Stop() override {
    ++r->stops;
    r->state = GraphState::Stopped;
    return S_OK;
  }
  HRESULT HideVideo() override {
    r->shown = false;
    return hideResult;
  }
  void SetVideoOwner(WindowHandle owner) override { r->videoOwner = owner; }
  void PlaceVideo(const PreviewRect& rect) override { r->placed = rect; }
  void ShowVideo() override { r->shown = true; }
  void NotifyOwnerMessage(WindowHandle, const platform::WindowMessage&) override {
    ++r->notices;
    if (onNotify) onNotify();
  }
  void DrainEvents() override { ++r->drains; }
  void ClearEventWindow() override { r->eventWindowCleared = true; }
};

struct FakeWindows final : platform::PreviewWindows {
  std::set<WindowHandle> live = {kTop, kChild, kOrphan, kForeign, kTop2};
  std::map<WindowHandle, WindowHandle> topOf = {{kTop, kTop}, {kChild, kTop}, {kOrphan, 0}, {kForeign, kForeign},
                                                {kTop2, kTop2}};
  std::multiset<WindowHandle> watched;
  int installs = 0, removals = 0;
  MessageSink sink;

  bool IsWindow(WindowHandle w) override { return live.count(w) != 0; }
  bool BelongsToThisProcess(WindowHandle w) override { return w != kForeign; }
  bool ClientRect(WindowHandle w, PreviewRect& rect) override {
    if (!IsWindow(w)) return false;
    rect = {0, 0, 640, 480};
    return true;
  }
  WindowHandle TopLevelAncestor(WindowHandle w) override { return topOf.count(w) ? topOf[w] : 0; }
  void Watch(WindowHandle w) override { watched.insert(w); }
  void Unwatch(WindowHandle w) override { watched.erase(watched.find(w)); }
  void InstallHook(MessageSink s) override {
    ++installs;
    sink = std::move(s);
  }
  void RemoveHook() override {
    ++removals;
    sink = nullptr;
  }
  void Destroy(WindowHandle w) {
    live.erase(w);
    if (sink) sink(w, platform::WindowMessage{platform::kMessageDestroy, 0, 0});
  }
};

struct Fixture {
  FakeWindows windows;
  PreviewHost host{windows};
  FakeGraph* graph = nullptr;
  std::shared_ptr<FakeGraph::Record> r;
  std::shared_ptr<PreviewGraph> preview;

  explicit Fixture(const std::function<void(FakeGraph&)>& script = {}) {
    auto fake = std::make_unique<FakeGraph>();
    graph = fake.get();
    r = fake->r;
    if (script) script(*fake);
    preview = PreviewGraph::Create(host, std::move(fake));
  }
  HRESULT Up(WindowHandle owner = kTop) {
    EXPECT_EQ(preview->SetOwner(owner), S_OK);
    EXPECT_EQ(preview->SetVisible(-1), S_OK);
    return preview->Start();
  }
};

// One row: a script for the graph, the client's calls, and what must follow.
struct ApplyCase {
  const char* name;
  std::function<void(FakeGraph&)> script;
  std::function<HRESULT(Fixture&)> calls;  // returns the last call's result
  HRESULT result;
  bool up;       // running, shown, built
  int filters;   // camera filters in the graph afterwards
  int adds;      // camera filter additions in all
  PreviewRect placed;
};

class ApplyTest : public ::testing::TestWithParam<ApplyCase> {};

TEST_P(ApplyTest, BringsThePreviewFullyUpOrFullyDown) {
  const ApplyCase& c = GetParam();
  Fixture f(c.script);
  EXPECT_EQ(c.calls(f), c.result);
  EXPECT_EQ(f.r->state == GraphState::Running, c.up);
  EXPECT_EQ(f.r->shown, c.up);
  EXPECT_EQ(f.preview->GraphBuilt(), c.filters > 0);
  EXPECT_EQ(f.r->videoOwner != 0, c.up);
  EXPECT_EQ(f.r->filters, c.filters);
  EXPECT_EQ(f.r->adds, c.adds);
  if (c.up) {
    EXPECT_EQ(f.r->placed.left, c.placed.left);
    EXPECT_EQ(f.r->placed.top, c.placed.top);
    EXPECT_EQ(f.r->placed.right, c.placed.right);
    EXPECT_EQ(f.r->placed.bottom, c.placed.bottom);
  }
}

const PreviewRect kClientArea{0, 0, 640, 480};

INSTANTIATE_TEST_SUITE_P(
    Sequences, ApplyTest,
    ::testing::Values(
        ApplyCase{"OwnerOnlyStaysDown", {}, [](Fixture& f) { return f.preview->SetOwner(kTop); }, S_OK, false, 0, 0, {}},
        ApplyCase{"OwnerVisibleStartFillsClientArea", {}, [](Fixture& f) { return f.Up(); }, S_OK, true, 1, 1,
                  kClientArea},
        ApplyCase{"ChildOwner", {}, [](Fixture& f) { return f.Up(kChild); }, S_OK, true, 1, 1, kClientArea},
        ApplyCase{"VisibleOneHides", {}, [](Fixture& f) { f.Up(); return f.preview->SetVisible(1); }, S_OK, false,
                  0, 1, {}},
        ApplyCase{"VisibleZeroHides", {}, [](Fixture& f) { f.Up(); return f.preview->SetVisible(0); }, S_OK, false,
                  0, 1, {}},
        ApplyCase{"MovePlacesEdges", {}, [](Fixture& f) { f.Up(); return f.preview->Move(10, 20, 110, 220); }, S_OK,
                  true, 1, 1, {10, 20, 110, 220}},
        ApplyCase{"SetOwnerAfterMoveFillsClientAreaAgain", {},
                  [](Fixture& f) { f.Up(); f.preview->Move(10, 20, 110, 220); return f.preview->SetOwner(kTop2); },
                  S_OK, true, 1, 1, kClientArea},
        ApplyCase{"StopEmptiesGraphStartRebuilds", {},
                  [](Fixture& f) { f.Up(); f.preview->Stop(); EXPECT_EQ(f.r->filters, 0); return f.preview->Start(); },
                  S_OK, true, 1, 2, kClientArea},
        ApplyCase{"NoInterleavedPinFails", [](FakeGraph& g) { g.renderResult = S_FALSE; },
                  [](Fixture& f) { return f.Up(); }, CAM_E_PREVIEW_FAILED, false, 0, 1, {}},
        ApplyCase{"RenderFailureFails", [](FakeGraph& g) { g.renderResult = E_FAIL; },
                  [](Fixture& f) { return f.Up(); }, CAM_E_PREVIEW_FAILED, false, 0, 1, {}},
        // A camera filter that cannot be added is a failure, not a running empty graph.
        ApplyCase{"AddFailureFails", [](FakeGraph& g) { g.addResult = E_FAIL; },
                  [](Fixture& f) { return f.Up(); }, CAM_E_PREVIEW_FAILED, false, 0, 1, {}},
        ApplyCase{"OwnerGoneBeforeBringUp", {},
                  [](Fixture& f) { f.preview->SetOwner(kTop); f.preview->SetVisible(-1);
                                   f.windows.live.erase(kTop); return f.preview->Start(); },
                  E_FAIL, false, 1, 1, {}},
        ApplyCase{"IntermediateStateReturned", {},
                  [](Fixture& f) { f.preview->SetOwner(kTop); f.preview->SetVisible(-1);
                                   f.graph->stateResults = {platform::kStateIntermediate}; return f.preview->Start(); },
                  platform::kStateIntermediate, false, 1, 1, {}},
        ApplyCase{"HideFailureReturned", [](FakeGraph& g) { g.hideResult = E_UNEXPECTED; },
                  [](Fixture& f) { return f.Up(); }, E_UNEXPECTED, false, 1, 1, {}},
        // A paused graph is stopped at take-down, so its filters go and the
        // next bring-up holds one camera filter.
        ApplyCase{"PausedGraphTornDown", {},
                  [](Fixture& f) { f.Up(); f.graph->Pause(); f.preview->Stop(); EXPECT_EQ(f.r->filters, 0);
                                   return f.preview->Start(); },
                  S_OK, true, 1, 2, kClientArea}),
    [](const ::testing::TestParamInfo<ApplyCase>& row) { return std::string(row.param.name); });

TEST(PreviewGraphTest, ForeignOwnerRefusedAndPreviousOwnerKept) {
  Fixture f;
  ASSERT_EQ(f.Up(), S_OK);
  EXPECT_EQ(f.preview->SetOwner(kForeign), E_FAIL);
  EXPECT_EQ(f.preview->Owner(), kTop);
  EXPECT_TRUE(f.r->shown);
}

TEST(PreviewGraphTest, FailedConstructionAnswersEFailAndClosesQuietly) {
  FakeWindows windows;
  PreviewHost host(windows);
  auto preview = PreviewGraph::Create(host, nullptr);
  EXPECT_EQ(preview->SetOwner(kTop), E_FAIL);
  EXPECT_EQ(preview->Start(), E_FAIL);
  EXPECT_EQ(preview->Stop(), E_FAIL);
  EXPECT_EQ(preview->SetVisible(-1), E_FAIL);
  EXPECT_EQ(preview->Move(0, 0, 1, 1), E_FAIL);
  preview->Close();
  EXPECT_EQ(windows.installs, 1);
  EXPECT_EQ(windows.removals, 1);
  EXPECT_TRUE(windows.watched.empty());
}

TEST(PreviewGraphTest, RunStillInTransitionIsBounded) {
  struct Case {
    std::vector<HRESULT> states;  // answers of the queries after Run's S_FALSE
    int runs;                     // Run calls in all
  };
  const std::vector<HRESULT> endless(200, platform::kStateIntermediate);
  for (const Case& c : {Case{{platform::kStateIntermediate, platform::kStateIntermediate, S_OK}, 2},
                        Case{endless, 1}}) {
    Fixture f([&](FakeGraph& g) { g.runResults = {S_FALSE}; });
    f.preview->SetOwner(kTop);
    f.preview->SetVisible(-1);
    const int before = f.r->stateQueries;
    f.graph->stateResults = {S_OK, S_OK};  // the bring-up's own two queries
    f.graph->stateResults.insert(f.graph->stateResults.end(), c.states.begin(), c.states.end());
    f.preview->Start();
    EXPECT_EQ(f.r->runs, c.runs);
    EXPECT_LE(f.r->stateQueries - before, 2 + PreviewGraph::kRunStateQueries);
  }
}

TEST(PreviewGraphTest, OwnerListsOfTopLevelAncestorAndOwner) {
  Fixture f;
  ASSERT_EQ(f.Up(kChild), S_OK);
  EXPECT_EQ(f.host.ListSize(kTop), 1u);
  EXPECT_EQ(f.host.ListSize(kChild), 1u);
  EXPECT_EQ(f.windows.watched, (std::multiset<WindowHandle>{kTop, kChild}));
  ASSERT_EQ(f.preview->SetOwner(kTop2), S_OK);
  EXPECT_EQ(f.host.ListSize(kTop), 0u);
  EXPECT_EQ(f.host.ListSize(kChild), 0u);
  EXPECT_EQ(f.windows.watched, (std::multiset<WindowHandle>{kTop2}));
  // Without a top-level ancestor nothing is entered.
  ASSERT_EQ(f.preview->SetOwner(kOrphan), S_OK);
  EXPECT_TRUE(f.windows.watched.empty());
}

TEST(PreviewGraphTest, OwnerDestructionTakesThePreviewDownForGood) {
  for (const WindowHandle destroyed : {kTop, kChild}) {
    Fixture f;
    ASSERT_EQ(f.Up(kChild), S_OK);
    f.windows.Destroy(destroyed);
    EXPECT_EQ(f.preview->Owner(), 0u);
    EXPECT_FALSE(f.r->shown);
    EXPECT_EQ(f.r->state, GraphState::Stopped);
    EXPECT_EQ(f.r->filters, 0);
    EXPECT_TRUE(f.windows.watched.empty());
    EXPECT_EQ(f.host.ListSize(kTop), 0u);
    EXPECT_EQ(f.preview->Start(), S_OK);  // stays down until a new owner
    EXPECT_FALSE(f.r->shown);
  }
}

TEST(PreviewGraphTest, GraphNotifyMessageDrainsEvents) {
  Fixture f;
  ASSERT_EQ(f.Up(), S_OK);
  f.windows.sink(kTop, platform::WindowMessage{platform::kMessageGraphNotify, 0, 0});
  f.windows.sink(kTop2, platform::WindowMessage{platform::kMessageGraphNotify, 0, 0});  // not an owner
  EXPECT_EQ(f.r->drains, 1);
  EXPECT_EQ(f.r->notices, 1);
}

// Two previews in one owner list: the first one's handling of the destroy
// message closes the second. The walk must survive and neither may act twice.
TEST(PreviewGraphTest, WalkSurvivesListChangesDuringDispatch) {
  FakeWindows windows;
  PreviewHost host(windows);
  auto first = std::make_unique<FakeGraph>();
  auto second = std::make_unique<FakeGraph>();
  auto firstRecord = first->r, secondRecord = second->r;
  FakeGraph* firstGraph = first.get();
  auto a = PreviewGraph::Create(host, std::move(first));
  auto b = PreviewGraph::Create(host, std::move(second));
  for (auto* p : {a.get(), b.get()}) {
    ASSERT_EQ(p->SetOwner(kTop), S_OK);
    ASSERT_EQ(p->SetVisible(-1), S_OK);
    ASSERT_EQ(p->Start(), S_OK);
  }
  EXPECT_EQ(host.ListSize(kTop), 2u);
  firstGraph->onNotify = [&] { b->Close(); };
  windows.Destroy(kTop);
  EXPECT_EQ(a->Owner(), 0u);
  EXPECT_EQ(host.ListSize(kTop), 0u);
  EXPECT_TRUE(windows.watched.empty());
  EXPECT_EQ(firstRecord->filters, 0);
  EXPECT_EQ(secondRecord->filters, 0);
  EXPECT_EQ(secondRecord->notices, 0);  // closed before its turn
  EXPECT_EQ(windows.installs, 1);
  a->Close();
  EXPECT_EQ(windows.removals, 1);
}

// Two client threads move their previews between owners while a third
// delivers destroy messages: no deadlock, and afterwards a window is watched
// exactly while it has an owner list.
TEST(PreviewGraphTest, OwnerListsAndWatchingAgreeUnderConcurrentUse) {
  FakeWindows windows;
  PreviewHost host(windows);
  auto a = PreviewGraph::Create(host, std::make_unique<FakeGraph>());
  auto b = PreviewGraph::Create(host, std::make_unique<FakeGraph>());
  constexpr int kRounds = 300;
  auto client = [](PreviewGraph& preview, WindowHandle other) {
    for (int i = 0; i < kRounds; ++i) {
      preview.SetOwner(kChild);
      preview.SetVisible(-1);
      preview.Start();
      preview.SetOwner(other);
      preview.Stop();
    }
  };
  std::thread first(client, std::ref(*a), kTop2);
  std::thread second(client, std::ref(*b), kTop);
  std::thread notices([&] {
    for (int i = 0; i < kRounds; ++i)
      for (WindowHandle w : {kTop, kChild, kTop2})
        host.Dispatch(w, platform::WindowMessage{w == kChild ? platform::kMessageDestroy : 0x0005u, 0, 0});
  });
  first.join();
  second.join();
  notices.join();
  for (WindowHandle w : {kTop, kChild, kTop2})
    EXPECT_EQ(host.ListSize(w) > 0, windows.watched.count(w) == 1) << "window " << w;
  a->Close();
  b->Close();
  EXPECT_TRUE(windows.watched.empty());
  EXPECT_EQ(windows.removals, 1);
}

TEST(PreviewGraphTest, CloseTearsDownARunningPreview) {
  Fixture f;
  ASSERT_EQ(f.Up(kChild), S_OK);
  f.preview->Close();
  EXPECT_EQ(f.r->state, GraphState::Stopped);
  EXPECT_EQ(f.r->filters, 0);
  EXPECT_FALSE(f.r->shown);
  EXPECT_EQ(f.r->videoOwner, 0u);
  EXPECT_TRUE(f.r->eventWindowCleared);
  EXPECT_TRUE(f.windows.watched.empty());
  EXPECT_EQ(f.windows.removals, 1);
  EXPECT_EQ(f.preview->Start(), E_FAIL);
  f.preview->Close();  // once only
  EXPECT_EQ(f.windows.removals, 1);
}

}  // namespace
}  // namespace camctl
