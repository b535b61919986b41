// Loads the published gene-tree files kept beside the repository (../shared/data) and checks
// their tree and taxon counts against counts measured by other means. Skips when absent.
#include <gtest/gtest.h>

#include <cctype>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <variant>

#include "sets/tree_set_data.hpp"
#include "sets/tree_set_load.hpp"
#include "temp_files.hpp"
#include "tree/tree_loader.hpp"

namespace treetally {
namespace {

namespace fs = std::filesystem;

fs::path data_dir() {
    return fs::path(TREETALLY_SOURCE_DIR).parent_path() / "shared" / "data";
}

struct DataFile {
    const char* file;
    std::size_t taxa;  // distinct leaf labels, as listed in the data README
};

void PrintTo(const DataFile& f, std::ostream* os) {
    *os << f.file;
}

std::size_t line_feeds_in(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::size_t count = 0;
    for (std::istreambuf_iterator<char> it(in), end; it != end; ++it) count += *it == '\n';
    return count;
}

class RealData : public testing::TestWithParam<DataFile> {
  protected:
    // The plain-text path of the file, decompressing a .gz copy into the scratch directory.
    std::string plain_path() {
        const fs::path source = data_dir() / GetParam().file;
        if (source.extension() != ".gz") return source.string();
        const fs::path target = scratch.path() / source.stem();
        const std::string command =
            "gzip -dc '" + source.string() + "' > '" + target.string() + "'";
        if (std::system(command.c_str()) != 0) ADD_FAILURE() << "cannot run: " << command;
        return target.string();
    }

    test::TempDir scratch;
};

TEST_P(RealData, OneTreePerLineAndTheKnownTaxa) {
    if (!fs::is_directory(data_dir())) GTEST_SKIP() << "no data at " << data_dir();
    const std::string path = plain_path();
    LoadResult result = load_tree_collection(path);
    ASSERT_TRUE(std::holds_alternative<TreeCollection>(result))
        << std::get<LoadError>(result).message;
    const TreeCollection& collection = std::get<TreeCollection>(result);
    // Every file ends with a line feed and has no blank lines.
    EXPECT_EQ(collection.trees.size(), line_feeds_in(path));
    EXPECT_EQ(collection.taxon_set.size(), GetParam().taxa);
}

INSTANTIATE_TEST_SUITE_P(Files, RealData,
                         testing::Values(DataFile{"mammals-37taxa-424genes.tre", 37},
                                         DataFile{"bees-32taxa-853genes.tre", 32},
                                         DataFile{"buxus-40taxa-1246genes.tre", 40},
                                         DataFile{"plants1kp-103taxa-852genes.tre", 103},
                                         DataFile{"plants1kp-103taxa-424genes-bs10.tre", 103},
                                         DataFile{"sim-100taxa-2500trees-nolengths.tre", 100},
                                         DataFile{"palaeognaths-15taxa-5016introns.tre", 15},
                                         DataFile{"palaeognaths-14taxa-10000sim.tre", 14},
                                         DataFile{"palaeognaths-14taxa-model-species-tree.tre", 14},
                                         DataFile{"birds-363taxa-635genes.tre.gz", 363},
                                         DataFile{"birds-363taxa-635genes-alrt95.tre.gz", 363},
                                         DataFile{"edge-fungi-16taxa-7180multicopy.tre", 16},
                                         DataFile{"edge-genefamilies-199trees-nosemicolon.tre",
                                                  12489}),
                         [](const testing::TestParamInfo<DataFile>& p) {
                             std::string name;
                             for (const char* c = p.param.file; *c && *c != '.'; ++c)
                                 name += std::isalnum(static_cast<unsigned char>(*c)) ? *c : '_';
                             return name;
                         });

// Presence counts given by the data README for the intron trees: every taxon but two occurs
// in every tree; aptMan is missing from 2456 trees and anoDid from 34.
TEST(RealDataPresence, IntronTreesLackTheKnownTaxa) {
    const fs::path path = data_dir() / "palaeognaths-15taxa-5016introns.tre";
    if (!fs::exists(path)) GTEST_SKIP() << "no data at " << path;
    const TreeSetData data = load_tree_set_data(path.string());
    ASSERT_EQ(data.tree_count(), 5016u);
    const TaxonSet& taxa = data.taxon_set;
    for (std::size_t t = 0; t < taxa.size(); ++t) {
        std::size_t missing = 0;
        for (const TreeLca& lca : data.lcas)
            missing += lca.taxon_position(TaxonId{static_cast<std::uint32_t>(t)}).is_absent();
        const std::string& name = taxa.taxon_names()[t];
        const std::size_t expected = name == "aptMan" ? 2456 : name == "anoDid" ? 34 : 0;
        EXPECT_EQ(missing, expected) << name;
    }
}

}  // namespace
}  // namespace treetally
