// The registry of driver objects handed out on the bus: owner checks, release by the owner or on
// the client's departure, and destruction that never happens under a running call.
#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include "host/DriverRegistry.h"
#include "support/HostFixture.h"

namespace qmb::test {
namespace {

class DriverRegistryTest : public HostFixture {
 protected:
  DriverRegistryTest()
      : registry(std::make_unique<DriverRegistry>(
            loop, [this] { return std::make_unique<TQorModBusCom>(main); })) {
    registry->OnClientAdded = [this](const std::string& c) { events.push_back("+" + c); };
    registry->OnClientRemoved = [this](const std::string& c) { events.push_back("-" + c); };
    registry->OnObjectDestroyed = [this](size_t n) { destroyedCounts.push_back(n); };
  }

  // Opens an offline site with the object and collects the open's outcome.
  void OpenOffline(TQorModBusCom& object, const std::string& site) {
    ASSERT_TRUE(object.SetDriverOption(List({"VERSIONCHECK=1.8"})));
    ASSERT_TRUE(object.OpenSite(List({"DESCRIPTION=" + site, "OFFLINE=TRUE", "LOCALCLIENT=TRUE"})));
    ASSERT_EQ(Status(object.ExecuteCommand(List({"COMMAND=COMMANDSTATUS"}))), "TRUE");
  }

  std::unique_ptr<DriverRegistry> registry;
  std::vector<std::string> events;
  std::vector<size_t> destroyedCounts;
};

TEST_F(DriverRegistryTest, OnlyTheCreatingClientReachesOrReleasesItsObject) {
  const uint64_t id = registry->Create(":1.5");
  DriverRegistry::Access access{};
  EXPECT_EQ(registry->Acquire(id, ":1.6", access), nullptr);
  EXPECT_EQ(access, DriverRegistry::Access::Denied);
  EXPECT_EQ(registry->Release(id, ":1.6"), DriverRegistry::Access::Denied);
  EXPECT_TRUE(registry->Exists(id));

  EXPECT_NE(registry->Acquire(id, ":1.5", access), nullptr);
  EXPECT_EQ(access, DriverRegistry::Access::Granted);
  EXPECT_EQ(registry->Acquire(id + 1, ":1.5", access), nullptr);
  EXPECT_EQ(access, DriverRegistry::Access::NoSuchObject);

  EXPECT_EQ(registry->Release(id, ":1.5"), DriverRegistry::Access::Granted);
  EXPECT_EQ(registry->Release(id, ":1.5"), DriverRegistry::Access::NoSuchObject);
  // Numbers are never handed out twice, so a stale path never reaches a newer object.
  EXPECT_GT(registry->Create(":1.5"), id);
}

TEST_F(DriverRegistryTest, AReleasedObjectLivesOnWhileACallHoldsIt) {
  const uint64_t id = registry->Create(":1.5");
  DriverRegistry::Access access{};
  std::shared_ptr<TQorModBusCom> call = registry->Acquire(id, ":1.5", access);
  OpenOffline(*call, "Held");
  ASSERT_EQ(main.ChildCount(), 1u);

  // The client releases its object while a call of it is still running (waiting in a Delay).
  EXPECT_EQ(registry->Release(id, ":1.5"), DriverRegistry::Access::Granted);
  EXPECT_FALSE(registry->Exists(id));
  loop.ProcessPendingEvents();
  EXPECT_EQ(registry->ObjectCount(), 1u);
  EXPECT_EQ(call->Engine->Session.Clients().size(), 1u);  // still attached, still usable
  EXPECT_EQ(Status(call->ExecuteCommand(List({"COMMAND=COMMANDSTATUS"}))), "FALSE");

  // The call returns: destruction is posted, not done under the caller's feet.
  call.reset();
  EXPECT_EQ(registry->ObjectCount(), 1u);
  EXPECT_TRUE(destroyedCounts.empty());
  loop.ProcessPendingEvents();
  EXPECT_EQ(registry->ObjectCount(), 0u);
  EXPECT_EQ(destroyedCounts, std::vector<size_t>{0});
  loop.ProcessPendingEvents();
  EXPECT_EQ(main.ChildCount(), 0u);  // the last client detached: the engine went too
}

TEST_F(DriverRegistryTest, AClientLeavingReleasesExactlyItsObjects) {
  const uint64_t a1 = registry->Create(":1.5");
  const uint64_t b1 = registry->Create(":1.6");
  const uint64_t a2 = registry->Create(":1.5");
  EXPECT_EQ(events, (std::vector<std::string>{"+:1.5", "+:1.6"}));

  DriverRegistry::Access access{};
  OpenOffline(*registry->Acquire(a1, ":1.5", access), "Shared");
  OpenOffline(*registry->Acquire(b1, ":1.6", access), "Shared");
  TModBusForm* engine = registry->Acquire(b1, ":1.6", access)->Engine;
  ASSERT_NE(engine, nullptr);
  ASSERT_EQ(engine->Session.Clients().size(), 2u);

  EXPECT_EQ(registry->ReleaseClient(":1.5"), 2u);
  EXPECT_EQ(events.back(), "-:1.5");
  EXPECT_FALSE(registry->Exists(a1));
  EXPECT_FALSE(registry->Exists(a2));
  EXPECT_TRUE(registry->Exists(b1));
  EXPECT_FALSE(registry->HasClient(":1.5"));
  loop.ProcessPendingEvents();
  EXPECT_EQ(registry->ObjectCount(), 1u);
  EXPECT_EQ(engine->Session.Clients().size(), 1u);  // detached from the shared engine
  EXPECT_EQ(registry->ReleaseClient(":1.5"), 0u);
}

TEST_F(DriverRegistryTest, DestroyingTheRegistryFreesObjectsStillAwaitingDestruction) {
  const uint64_t id = registry->Create(":1.5");
  DriverRegistry::Access access{};
  OpenOffline(*registry->Acquire(id, ":1.5", access), "Left");
  registry->Create(":1.7");
  registry->Release(id, ":1.5");  // destruction posted, the loop never runs it
  registry.reset();
  loop.ProcessPendingEvents();
  EXPECT_EQ(main.ChildCount(), 0u);  // the object detached, so its engine was released
}

TEST_F(DriverRegistryTest, OneClientHoldsABoundedNumberOfObjectsAndSites) {
  std::vector<uint64_t> ids;
  for (size_t i = 0; i < DriverRegistry::kMaxObjectsPerClient; ++i)
    ids.push_back(registry->Create(":1.5"));
  EXPECT_EQ(std::count(ids.begin(), ids.end(), 0u), 0);
  EXPECT_EQ(registry->Create(":1.5"), 0u) << "one object past the limit";
  EXPECT_NE(registry->Create(":1.6"), 0u) << "other clients are not affected";
  registry->Release(ids.back(), ":1.5");
  ids.back() = registry->Create(":1.5");
  EXPECT_NE(ids.back(), 0u) << "a released object makes room";

  DriverRegistry::Access access{};
  auto object = [&](size_t i) { return registry->Acquire(ids[i], ":1.5", access); };
  const size_t limit = ClientSites::kMaxSitesPerClient;
  for (size_t i = 0; i < limit; ++i) OpenOffline(*object(i), "Site " + std::to_string(i));
  ASSERT_EQ(main.ChildCount(), limit);
  const Variant next = List({"DESCRIPTION=One more", "OFFLINE=TRUE", "LOCALCLIENT=TRUE"});
  ASSERT_TRUE(object(limit)->SetDriverOption(List({"VERSIONCHECK=1.8"})));
  EXPECT_FALSE(object(limit)->OpenSite(next));
  EXPECT_EQ(main.ChildCount(), limit) << "no engine for the refused site";
  EXPECT_NE(object(limit)->LastErrorDetail().find("holds 256 sites open"), std::string::npos)
      << object(limit)->LastErrorDetail();
  OpenOffline(*object(limit), "SITE 7");  // one the client holds already: no new site
  EXPECT_EQ(object(limit)->Engine, object(7)->Engine);

  const uint64_t other = registry->Create(":1.6");
  OpenOffline(*registry->Acquire(other, ":1.6", access), "One more");  // another client's room

  // An object leaving the client's only hold on a site makes room, by moving or by closing.
  OpenOffline(*object(0), "One more");
  EXPECT_TRUE(object(limit + 1)->SetDriverOption(List({"VERSIONCHECK=1.8"})));
  EXPECT_FALSE(object(limit + 1)->OpenSite(List({"DESCRIPTION=Yet another", "OFFLINE=TRUE"})));
  registry->Release(ids[1], ":1.5");
  loop.ProcessPendingEvents();
  OpenOffline(*object(limit + 1), "Yet another");
  EXPECT_EQ(object(limit + 1)->LastErrorDetail(), "") << "a successful open forgets the refusal";
}

}  // namespace
}  // namespace qmb::test
