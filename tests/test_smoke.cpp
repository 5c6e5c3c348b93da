#include <gtest/gtest.h>

#include "harness.h"

using namespace harness;

TEST(Smoke, ServesAScript) {
  temp_dir root;
  make_dirs(root.path + "/bin");
  write_script(root.path + "/bin/hello", "echo hello \"$@\"\n");
  daemon_proc d;
  ASSERT_TRUE(d.start(root.path, {"-l"}));
  std::string got = exchange(d.port, "cmd bin/hello+x\r\nend\r\n", false);
  EXPECT_EQ(got,
            "101 Cmd accepted 'bin/hello+x'\r\n"
            "200 Cmd started 'bin/hello+x'\r\n\r\n"
            "hello x\n");
}
