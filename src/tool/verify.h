// What an installed copy would do with a release: the checker's own steps,
// reported instead of acted on.
#pragma once

#include <ostream>
#include <string>
#include <utility>
#include <vector>

struct VerifyRequest {
  std::string ini;     // the pelmatic.ini of the installed copies
  std::string verNow;  // instead of its ver_now, when not empty
  // A URL in place of url_file, or a folder read as local mode reads the
  // application folder; empty for the url_file of the ini.
  std::string source;
  // Full packages of earlier versions (version, path), to apply the deltas
  // of those versions to.
  std::vector<std::pair<std::string, std::string>> bases;
};

// 0 when an installed copy would act cleanly (update, announce, offer the
// homepage, or find itself up to date), 1 when it would refuse or fail.
int VerifyRelease(const VerifyRequest& request, std::ostream& out);
