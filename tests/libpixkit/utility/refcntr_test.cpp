#include "libpixkit/utility/refcntr.h"

#include <gtest/gtest.h>

using namespace pixkit;

namespace {

struct Counted : ReferenceCntr {
  explicit Counted(int* deleted) : d_deleted(deleted) {}
  ~Counted() override { (*d_deleted)++; }
  int* d_deleted;
};

}  // namespace

TEST(ReferenceCntr, TheLastHolderDeletesTheObject) {
  int deleted = 0;
  auto* c = new Counted(&deleted);
  EXPECT_EQ(c->AskRefCount(), 0);
  c->IncrRef();
  c->IncrRef();
  EXPECT_FALSE(c->DecrRef());
  EXPECT_EQ(deleted, 0);
  EXPECT_EQ(c->AskRefCount(), 1);
  EXPECT_TRUE(c->DecrRef());
  EXPECT_EQ(deleted, 1);
}

TEST(ReferenceCntrDeathTest, MoreReleasesThanHoldersStopTheProcess) {
  EXPECT_DEATH(
      {
        int deleted = 0;
        Counted c(&deleted);
        c.DecrRef();
      },
      "d_refcnt>=0");
}
