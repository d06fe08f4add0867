// The machine-wide databases' opener: processes that open one together, files that are no
// database, upgrades that fail, and the journal each kind of state gets.
#include "machine/database.h"
#include "machine/machine.h"

#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <iterator>
#include <string>
#include <vector>

using namespace winsim;

namespace {

const char *kSchema =
    "CREATE TABLE IF NOT EXISTS items (id INTEGER PRIMARY KEY, name TEXT NOT NULL);"
    "INSERT INTO items (name) SELECT 'first' WHERE NOT EXISTS (SELECT 1 FROM items);";

std::string databasePath(const char *name)
{
    return machineRoot() + "/" + name;
}

int64_t single(sqlite3 *db, const char *sql)
{
    Statement query(db, sql);
    EXPECT_TRUE(query.ok()) << sql;
    return query.step() == SQLITE_ROW ? query.integer(0) : -1;
}

std::string journalMode(sqlite3 *db)
{
    Statement query(db, "PRAGMA journal_mode");
    return query.step() == SQLITE_ROW ? query.text(0) : std::string();
}

bool failingUpgrade(sqlite3 *db)
{
    // Changes something first, so that the test sees it rolled back with the schema.
    sqlite3_exec(db, "INSERT INTO items (name) VALUES ('half-done')", nullptr, nullptr, nullptr);
    return false;
}

bool addColour(sqlite3 *db)
{
    return Statement(db, "SELECT colour FROM items LIMIT 0").ok() ||
           sqlite3_exec(db, "ALTER TABLE items ADD COLUMN colour TEXT NOT NULL DEFAULT 'red'", nullptr, nullptr,
                        nullptr) == SQLITE_OK;
}

}  // namespace

TEST(MachineDatabase, ProcessesOpeningTogetherMakeTheSchemaOnce)
{
    const std::string path = databasePath("together.sqlite");
    std::vector<pid_t> children;
    for (int i = 0; i < 6; ++i) {
        pid_t child = fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            DatabaseConnection db(openMachineDatabase(path, kSchema, Durability::durable));
            _exit(db ? 0 : 1);
        }
        children.push_back(child);
    }
    for (pid_t child : children) {
        int status = 0;
        ASSERT_EQ(waitpid(child, &status, 0), child);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    }
    DatabaseConnection db(openMachineDatabase(path, kSchema, Durability::durable));
    ASSERT_TRUE(db);
    EXPECT_EQ(single(db.get(), "SELECT count(*) FROM items"), 1);
}

TEST(MachineDatabase, AFileThatIsNoDatabaseIsRefusedAndLeftAsItWas)
{
    const std::string path = databasePath("not-a-database.sqlite");
    const std::string content(4096, 'x');
    std::ofstream(path, std::ios::binary) << content;
    EXPECT_EQ(openMachineDatabase(path, kSchema, Durability::durable), nullptr);
    std::ifstream in(path, std::ios::binary);
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), {}), content);

    EXPECT_EQ(openMachineDatabase(machineRoot() + "/no/such/directory/db.sqlite", kSchema, Durability::durable),
              nullptr);
}

TEST(MachineDatabase, AnUpgradeRunsWithTheSchemaAndAFailedOneUndoesBoth)
{
    const std::string path = databasePath("upgraded.sqlite");
    EXPECT_EQ(openMachineDatabase(path, kSchema, Durability::durable, failingUpgrade), nullptr);
    {
        DatabaseConnection db(openConnection(path, SQLITE_OPEN_READONLY));
        ASSERT_TRUE(db);
        EXPECT_EQ(single(db.get(), "SELECT count(*) FROM sqlite_master WHERE name = 'items'"), 0);
    }
    // An older file, made without the column, gets it; opening it again changes nothing more.
    DatabaseConnection older(openMachineDatabase(path, kSchema, Durability::durable));
    ASSERT_TRUE(older);
    for (int round = 0; round < 2; ++round) {
        DatabaseConnection db(openMachineDatabase(path, kSchema, Durability::durable, addColour));
        ASSERT_TRUE(db);
        EXPECT_EQ(single(db.get(), "SELECT count(*) FROM items WHERE colour = 'red'"), 1);
    }
}

TEST(MachineDatabase, StateThatARestartEndsSkipsTheSyncedJournal)
{
    DatabaseConnection durable(openMachineDatabase(databasePath("durable.sqlite"), kSchema, Durability::durable));
    DatabaseConnection transient(
        openMachineDatabase(databasePath("transient.sqlite"), kSchema, Durability::untilRestart));
    ASSERT_TRUE(durable && transient);
    EXPECT_EQ(journalMode(durable.get()), "delete");
    EXPECT_EQ(journalMode(transient.get()), "wal");
    EXPECT_EQ(single(transient.get(), "PRAGMA synchronous"), 0);
}
