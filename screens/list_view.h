#pragma once
// The list view: the range in use as lines with checksums, three columns of 24, 72 to a page.

namespace lbe::screens {

// Key L. Returns after "Press any key..." has been answered.
void ListView();

}  // namespace lbe::screens
