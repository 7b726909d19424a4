#include "optimization/DesignSnapshot.h"

namespace ostrel {

double greyFraction(const DesignSnapshot& s) {
    long long designable = 0, grey = 0;
    for (size_t e = 0; e < s.density.size(); ++e) {
        if (s.kept[e] || s.emptyHeld[e]) continue;
        ++designable;
        if (s.density[e] > 0.1f && s.density[e] < 0.9f) ++grey;
    }
    return designable == 0 ? 0.0 : double(grey) / double(designable);
}

}  // namespace ostrel
