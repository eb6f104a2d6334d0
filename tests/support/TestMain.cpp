#include <gtest/gtest.h>

#include "app/Startup.h"

// Every test program starts and ends the libraries as the programs do, so that tests
// see the picture registry the program sees.
int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  TavexStartup();
  const int result = RUN_ALL_TESTS();
  TavexShutdown();
  return result;
}
