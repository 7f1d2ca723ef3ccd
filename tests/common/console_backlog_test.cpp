#include "common/console_backlog.h"

#include <gtest/gtest.h>

#include <string>

// A held console: query lines beyond the bound go, counted; the rest stays, and the count comes once there is room.
TEST(ConsoleBacklog, DropsOnlyQueryLinesBeyondItsBoundAndTellsHowMany) {
    const std::string query = "> 127.0.0.1: printer -> 10.0.0.1\n"; // 34 bytes
    ConsoleBacklog backlog(3 * query.size());
    backlog.Add(query + query);
    backlog.Add(query + query + query); // the third fits, the fourth and fifth do not
    backlog.Add("> Error: could not save resolutions to t.drf: disk full\n> Statistics: 1 from the table\n");
    std::string text;
    ASSERT_TRUE(backlog.Take(text));
    EXPECT_EQ(text, query + query + query + "> Query lines not shown while the console did not keep up: 2\n" +
                        "> Error: could not save resolutions to t.drf: disk full\n> Statistics: 1 from the table\n");
    backlog.Add(query + query + query + query);
    backlog.Close();
    ASSERT_TRUE(backlog.Take(text));
    EXPECT_EQ(text, query + query + query + "> Query lines not shown while the console did not keep up: 1\n");
    EXPECT_FALSE(backlog.Take(text));
}
