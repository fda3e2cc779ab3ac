// A site's set-up from the command line: its schema made or brought forward by its owner, and a
// bench's own store taken onto it once.
#include "navkeypad_cli.h"
#include "session.h"
#include "settings/keypad_settings_file.h"
#include "store/bench_folder.h"
#include "store/postgres_store.h"

namespace navkeypad::cli {

int SiteCommand(Session& session) {
  const auto& words = session.positional();
  const bool init = words.size() == 2 && words[1] == "init";
  if (!init && !(words.size() == 2 && words[1] == "bring-over"))
    return session.fail(kBadInput, "usage: " + session.io().program + " site init|bring-over");
  const store::Site site = store::TheSite(false);
  if (!site.configured()) {
    return session.fail(kBadInput,
                        "no site is set up on this computer: write its server's "
                        "settings under [" +
                            std::string(store::kSiteService) + "] in " + store::TheSiteFile() +
                            " (or set " + store::kSiteVariable + "), then run this again.");
  }
  std::vector<std::string> said;
  store::StoreError error;
  if (init) {
    error = store::InitSite(site, said);
  } else {
    // The bench's own store, where it kept what it knew before the site.
    const store::StorePlace place = store::TheStorePlace(settings::DefaultConfigFile(), false);
    store::StoreContents contents;
    error = store::ReadStoreContents(place, contents);
    if (!error) error = store::BringOverToSite(contents, place.file, site, said);
  }
  for (const std::string& sentence : said) session.io().out << sentence << ".\n";
  if (error) {
    return session.fail(error.kind == store::StoreError::kNoAccess ? kNotAccessible : kBadInput,
                        error.message + ".");
  }
  return kDone;
}

}  // namespace navkeypad::cli
