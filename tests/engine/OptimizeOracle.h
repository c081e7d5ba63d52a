// The merge pass written the slow, literal way: one index over the document, lines deleted and
// inserted in place, names moved one at a time, addresses found by a linear scan. The fast pass
// must give exactly what this gives, on every document.
#pragma once

class THosts;

void OptimizeLiterally(THosts& hosts);
