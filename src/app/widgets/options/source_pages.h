#pragma once
// The settings page of each kind of source.

#include "app/widgets/options/options_page.h"

namespace geomuxer {

class GpsTracker;

/// The page of `source`'s kind, titled with its name; for a kind without settings a page that says
/// there is nothing to configure. `source` and `host` must outlive the page.
[[nodiscard]] OptionsPage* makeSourcePage(GpsTracker& source, PageHost& host, QWidget* parent);

}  // namespace geomuxer
