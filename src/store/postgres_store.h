// The store of a site's benches: one PostgreSQL database, reached through libpq. A bench is a
// login role in the group navkeypad_bench; the server writes each row's bench from the role that
// logged in, and lets a bench change only its own rows and add to the log, never change it.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "store/site.h"
#include "store/sqlite_store.h"
#include "store/store.h"

namespace navkeypad::store {

// The schema version this program reads and writes; `InitSite` brings an older one forward.
inline constexpr int kSiteSchemaVersion = 1;
inline constexpr char kBenchRole[] = "navkeypad_bench";

// The store on the site's server. It connects when first asked and again after the server was
// away; a site whose settings are refused answers every operation with why. While the server is
// away, log lines and record removals wait in the bench's own store at `outbox`, and are sent
// first when it is back.
std::unique_ptr<Store> OpenPostgresStore(const Site& site, const StorePlace& outbox, int waitMs);

struct StoreContents;
// Takes a bench's own store (read from `from`) onto the site's server, as the bench; taking it
// again adds nothing. `said` gets what came in, and the numbers given elsewhere on the site too.
StoreError BringOverToSite(const StoreContents& contents, const std::string& from, const Site& site,
                           std::vector<std::string>& said);

// Makes or brings forward the site's schema and the group role of its benches, as the schema's
// owner. `said` gets what was done, a sentence each.
StoreError InitSite(const Site& site, std::vector<std::string>& said);

}  // namespace navkeypad::store
