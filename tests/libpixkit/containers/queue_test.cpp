#include "libpixkit/containers/queue.h"

#include <gtest/gtest.h>

#include "libpixkit/graphics/datatypes/image.h"

using namespace pixkit;

TEST(Queue, GrowsFrom50AndKeepsOrderThroughWrapAndGrowth) {
  Queue<int> q;
  EXPECT_TRUE(q.IsEmpty());
  EXPECT_EQ(q.AskCapacity(), 0);
  q.Append(0);
  EXPECT_EQ(q.AskCapacity(), 50);
  for (int i = 1; i < 50; i++) q.Append(i);
  EXPECT_EQ(q.AskCapacity(), 50);
  for (int i = 0; i < 10; i++) q.RemoveHead();
  EXPECT_EQ(q.AskHead(), 10);
  EXPECT_EQ(q.AskSize(), 40);
  q.Append(50);  // into slot 0, no growth
  EXPECT_EQ(q.AskCapacity(), 50);
  EXPECT_EQ(q.AskFromHead(40), 50);

  for (int i = 51; i < 60; i++) q.Append(i);  // ring full, head at slot 10
  EXPECT_EQ(q.AskCapacity(), 50);
  q.Append(60);
  EXPECT_EQ(q.AskCapacity(), 100);
  for (int i = 0; i < q.AskSize(); i++) ASSERT_EQ(q.AskFromHead(i), 10 + i);

  while (!q.IsEmpty()) q.RemoveHead();
  q.Append(99);
  EXPECT_EQ(q.AskHead(), 99);
  EXPECT_EQ(q.AskSize(), 1);

  Queue<int> big;
  for (int i = 0; i < 51; i++) big.Append(i);
  EXPECT_EQ(big.AskCapacity(), 100);
  for (int i = 0; i < 51; i++) ASSERT_EQ(big.AskFromHead(i), i);
  for (int i = 51; i < 201; i++) big.Append(i);
  EXPECT_EQ(big.AskCapacity(), 400);
}

TEST(Queue, RemovedImagesLetGoOfTheirPlanesAtOnce) {
  ImageParam p;
  p.width = 4;
  p.height = 4;
  p.colorspace = Colorspace_Greyscale;
  Image<Pixel> img;
  img.Create(p);
  const auto* provider = img.AskBitmap(0).AskBitmapProvider();
  Queue<Image<Pixel>> q;
  q.Append(img);
  EXPECT_EQ(provider->AskRefCntr(), 2);
  q.RemoveHead();
  EXPECT_EQ(provider->AskRefCntr(), 1) << "the emptied slot still holds the planes";
  img.Create(p);  // no one else sees them, so they are filled again
  EXPECT_EQ(img.AskBitmap(0).AskBitmapProvider(), provider);
}

TEST(QueueDeathTest, EmptyAndOutOfRangeAccessStops) {
  Queue<int> q;
  EXPECT_DEATH(q.AskHead(), "!IsEmpty\\(\\)");
  EXPECT_DEATH(q.RemoveHead(), "!IsEmpty\\(\\)");
  q.Append(1);
  EXPECT_DEATH(q.AskFromHead(1), "idx<");
}
