// The smallest member and the narrowest gap of a written design, for the member-size
// measurement (bench/member-size.sh): reads the text that tests/tools/read_vti.py prints for an
// ostrel-batch .vti file on standard input (its extent, Density, Solid and Kept arrays) and prints
//   member THICKNESS gap WIDTH
// in voxel lengths, measured by tests/support/MemberSize.h (density >= 0.5, 4x supersampled,
// thin pieces at least 4 voxels long, kept cells solid but no member by themselves). Exit
// status 1 when the input lacks them.

#include <iostream>
#include <sstream>
#include <string>

#include "core/Version.h"
#include "support/MemberSize.h"

int main(int argc, char** argv) {
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--help" || arg == "-h") {
            std::cout << "Usage: member_size < DESIGN.txt\n"
                         "Reads the text tests/tools/read_vti.py prints for an ostrel-batch .vti "
                         "file and prints\n'member THICKNESS gap WIDTH' in voxel lengths.\n";
            return 0;
        }
        if (arg == "--version" || arg == "-V") {
            std::cout << ostrel::versionLine("member_size");
            return 0;
        }
        std::cerr << "ERROR: Unknown option '" << arg << "'\nTry 'member_size --help'\n";
        return 2;
    }
    ostrel::testing::DensityGrid grid;
    bool haveExtent = false, haveDensity = false;
    std::string line;
    while (std::getline(std::cin, line)) {
        std::istringstream in(line);
        std::string kind;
        in >> kind;
        if (kind == "extent") {
            int e[6];
            for (int& v : e) in >> v;
            grid.nx = e[1] - e[0];
            grid.ny = e[3] - e[2];
            grid.nz = e[5] - e[4];
            haveExtent = bool(in);
        } else if (kind == "array") {
            std::string where, name, type;
            int components = 0;
            size_t count = 0;
            in >> where >> name >> type >> components >> count;
            if (where != "CELL" || (name != "Density" && name != "Solid" && name != "Kept"))
                continue;
            std::vector<double> values(count);
            for (double& v : values) in >> v;
            if (!in) continue;
            if (name == "Density") {
                grid.density = std::move(values);
                haveDensity = true;
            } else if (name == "Solid") {
                grid.inModel.assign(values.begin(), values.end());
            } else {
                grid.kept.assign(values.begin(), values.end());
            }
        }
    }
    if (!haveExtent || !haveDensity ||
        grid.density.size() != size_t(grid.nx) * size_t(grid.ny) * size_t(grid.nz)) {
        std::cerr << "member_size: no extent and Density array on standard input\n";
        return 1;
    }
    const ostrel::testing::MemberSizes sizes = ostrel::testing::measureMemberSizes(grid, 4, 4.0, 12.0);
    std::cout << "member " << sizes.thinnestMember << " gap " << sizes.narrowestGap << "\n";
    return 0;
}
