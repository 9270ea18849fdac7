// sample-payload: writes the default payload the installer carries, a tree of
// game data whose archive has fixed, known figures. Everything comes from one
// fixed-seed generator and integer arithmetic, so every run on every platform
// writes the same bytes.
#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <initializer_list>
#include <memory>
#include <set>
#include <string>
#include <system_error>
#include <vector>

#include "code_page.h"
#include "host_files.h"
#include "name_rules.h"
#include "options.h"

namespace fs = std::filesystem;

namespace {

// The figures of the shipped archive.
const std::uint32_t kFiles = 3927;
const std::uint64_t kDataBytes = 15639531;
const std::uint64_t kNameCharacters = 186030;  // without the NULs
const std::size_t kLongestName = 73;

const char kHelp[] =
    "usage: sample-payload [--scale N] DIR\n"
    "\n"
    "Writes the sample game payload into DIR, which must be missing or empty:\n"
    "3,927 files in folders several deep, 15,639,531 bytes in all, whose names\n"
    "add up to 186,030 characters (the longest has 73). The same files come out\n"
    "of every run on every platform. --scale N makes every file N times larger,\n"
    "with the same names.\n";

// splitmix64: tiny, fast and fully specified, unlike the standard library's
// distributions.
class Random {
 public:
  explicit Random(std::uint64_t seed) : state_(seed) {}
  std::uint64_t Next() {
    std::uint64_t z = (state_ += 0x9E3779B97F4A7C15u);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9u;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBu;
    return z ^ (z >> 31);
  }
  std::uint32_t Below(std::uint32_t n) { return static_cast<std::uint32_t>(Next() % n); }
  std::uint32_t Between(std::uint32_t low, std::uint32_t high) {
    return low + Below(high - low + 1);
  }
  template <std::size_t N>
  const char* Pick(const char* const (&words)[N]) {
    return words[Below(N)];
  }
  // Sizes spread evenly over powers of two, as game data's are.
  std::uint32_t LogSize(int lowBits, int highBits) {
    std::uint32_t base = 1u << Between(lowBits, highBits);
    return base + Below(base);
  }

 private:
  std::uint64_t state_;
};

const char* const kWords[] = {
    "stone",      "wall",    "door",     "gate",   "tower",  "bridge", "crate",  "barrel", "chest",
    "torch",      "lantern", "banner",   "statue", "pillar", "arch",   "roof",   "floor",  "tile",
    "brick",      "plank",   "rope",     "chain",  "anvil",  "forge",  "cart",   "wagon",  "boat",
    "sail",       "mast",    "anchor",   "tree",   "pine",   "oak",    "birch",  "bush",   "grass",
    "fern",       "moss",    "rock",     "cliff",  "sand",   "mud",    "snow",   "ice",    "lava",
    "water",      "river",   "lake",     "cloud",  "fog",    "rain",   "fire",   "smoke",  "spark",
    "ember",      "sword",   "axe",      "spear",  "bow",    "arrow",  "shield", "helmet", "armor",
    "boots",      "gloves",  "cloak",    "ring",   "amulet", "potion", "scroll", "book",   "coin",
    "gem",        "key",     "wolf",     "bear",   "boar",   "deer",   "raven",  "spider", "troll",
    "golem",      "wraith",  "knight",   "archer", "guard",  "trader", "farmer", "priest", "mage",
    "smith",      "captain", "king",     "queen",  "well",   "altar",  "market", "tavern", "mill",
    "lighthouse", "harbor",  "fortress", "shrine", "camp"};
const char* const kModifiers[] = {"old",    "broken", "large",  "small",   "dark",
                                  "burnt",  "mossy",  "wet",    "frozen",  "rusty",
                                  "ornate", "plain",  "ruined", "painted", "carved"};
const char* const kRegions[] = {"common", "northlands", "southcoast", "desert",    "marshes",
                                "winter", "capital",    "catacombs",  "mountains", "harbour"};
const char* const kTextureSets[] = {"characters", "creatures", "architecture", "vegetation",
                                    "effects",    "terrain",   "weapons",      "props"};
const char* const kTextureKinds[] = {"diffuse", "normal", "specular", "mask", "glow"};
const char* const kModelSets[] = {"characters", "creatures", "props", "buildings",
                                  "vehicles",   "weapons",   "ships"};
const char* const kModelParts[] = {"meshes", "animations", "skeletons", "collision"};
const char* const kSoundKinds[] = {"ambient", "effects", "interface"};
const char* const kSoundThemes[] = {"combat", "footsteps", "nature",  "weather",
                                    "crowd",  "magic",     "machines"};
const char* const kLanguages[] = {"english", "german", "french", "russian"};
const char* const kMapParts[] = {"terrain", "navigation", "lighting", "spawns"};
const char* const kScriptAreas[] = {"ai",    "quests", "dialogue", "interface",
                                    "world", "events", "cutscenes"};
const char* const kTextBlocks[] = {"interface", "dialogue", "journal", "tutorial"};
const char* const kShaderSets[] = {"common", "lighting", "postfx", "terrain", "water"};
const char* const kInterfaceParts[] = {"fonts", "cursors", "layouts", "icons"};
const char* const kVerbs[] = {"spawn", "move",  "play", "wait",   "set",    "give", "take",
                              "open",  "close", "say",  "attack", "follow", "hide", "show"};

enum Content { TEXT, PATTERN, NOISE, RECORDS };

// How a file's stem is made up, so that another of the same kind can stand in.
enum StemStyle { FIXED, TEXTURE, WORDS, VOICE };

struct Plan {
  std::string folder;  // '\' between components
  StemStyle style;
  int fewestWords;
  int mostWords;
  std::string stem;
  std::string extension;
  Content content;
  std::uint32_t size;
  bool fixedSize;  // kept as chosen when the sizes are fitted to the total
};

// The elements of a braced list are evaluated in order, the operands of '+'
// are not: draws from the generator go through here so that every compiler
// makes them in the same order.
std::string Concat(std::initializer_list<std::string> parts) {
  std::string text;
  for (const std::string& part : parts) text += part;
  return text;
}

std::string Chapter(Random& random) {
  char text[16];
  std::snprintf(text, sizeof text, "chapter%02u", static_cast<unsigned>(random.Between(1, 12)));
  return text;
}

std::string Stem(Random& random, int words) {
  std::string stem;
  if (random.Below(3) == 0) stem = std::string(random.Pick(kModifiers)) + '_';
  for (int i = 0; i < words; ++i) {
    if (i != 0) stem += '_';
    stem += random.Pick(kWords);
  }
  if (random.Below(2) == 0) {
    char number[8];
    std::snprintf(number, sizeof number, "_%02u", static_cast<unsigned>(random.Between(1, 40)));
    stem += number;
  }
  return stem;
}

std::string MakeStem(const Plan& plan, Random& random) {
  switch (plan.style) {
    case TEXTURE:
      return Concat({Stem(random, random.Between(plan.fewestWords, plan.mostWords)), "_",
                     random.Pick(kTextureKinds)});
    case VOICE:
      return Concat({random.Pick(kWords), "_line_", std::to_string(random.Between(100, 999))});
    case WORDS:
      return Stem(random, random.Between(plan.fewestWords, plan.mostWords));
    default:
      return plan.stem;
  }
}

void SetStyle(Plan* plan, StemStyle style, int fewestWords, int mostWords) {
  plan->style = style;
  plan->fewestWords = fewestWords;
  plan->mostWords = mostWords;
}

// One ordinary file of a kind picked by weight.
Plan Ordinary(Random& random) {
  Plan plan;
  plan.fixedSize = false;
  std::uint32_t roll = random.Below(1000);
  if (roll < 330) {
    plan.folder =
        Concat({"data\\textures\\", random.Pick(kTextureSets), "\\", random.Pick(kRegions)});
    SetStyle(&plan, TEXTURE, 2, 2);
    plan.extension = random.Below(5) == 0 ? ".tga" : ".dds";
    plan.content = PATTERN;
    plan.size = random.LogSize(10, 14);
  } else if (roll < 470) {
    const char* part = random.Pick(kModelParts);
    plan.folder = std::string("data\\models\\") + random.Pick(kModelSets) + '\\' + part;
    SetStyle(&plan, WORDS, 1, 2);
    plan.extension = std::strcmp(part, "animations") == 0  ? ".anim"
                     : std::strcmp(part, "skeletons") == 0 ? ".skel"
                     : std::strcmp(part, "collision") == 0 ? ".col"
                                                           : ".mdl";
    plan.content = RECORDS;
    plan.size = random.LogSize(9, 14);
  } else if (roll < 560) {
    plan.folder = Concat({"sounds\\", random.Pick(kSoundKinds), "\\", random.Pick(kSoundThemes)});
    SetStyle(&plan, WORDS, 1, 2);
    plan.extension = ".wav";
    plan.content = PATTERN;
    plan.size = random.LogSize(11, 14);
  } else if (roll < 630) {
    plan.folder = Concat({"sounds\\voice\\", random.Pick(kLanguages), "\\", Chapter(random)});
    SetStyle(&plan, VOICE, 1, 1);
    plan.extension = ".ogg";
    plan.content = NOISE;
    plan.size = random.LogSize(11, 13);
  } else if (roll < 710) {
    const char* part = random.Pick(kMapParts);
    plan.folder = std::string("maps\\") + random.Pick(kRegions) + '\\' + part;
    SetStyle(&plan, WORDS, 1, 2);
    plan.extension = std::strcmp(part, "navigation") == 0 ? ".nav"
                     : std::strcmp(part, "lighting") == 0 ? ".lgt"
                     : std::strcmp(part, "spawns") == 0   ? ".spn"
                                                          : ".map";
    plan.content = std::strcmp(part, "spawns") == 0 ? TEXT : RECORDS;
    plan.size = random.LogSize(10, 14);
  } else if (roll < 860) {
    plan.folder = std::string("scripts\\") + random.Pick(kScriptAreas);
    if (random.Below(2) == 0) plan.folder += '\\' + Chapter(random);
    SetStyle(&plan, WORDS, 1, 3);
    plan.extension = random.Below(4) == 0 ? ".cfg" : ".lua";
    plan.content = TEXT;
    plan.size = random.LogSize(7, 12);
  } else if (roll < 920) {
    plan.folder =
        Concat({"localization\\", random.Pick(kLanguages), "\\", random.Pick(kTextBlocks)});
    SetStyle(&plan, WORDS, 1, 2);
    plan.extension = ".txt";
    plan.content = TEXT;
    plan.size = random.LogSize(9, 13);
  } else if (roll < 960) {
    plan.folder = std::string("data\\shaders\\") + random.Pick(kShaderSets);
    SetStyle(&plan, WORDS, 1, 2);
    plan.extension = random.Below(2) == 0 ? ".vsh" : ".psh";
    plan.content = TEXT;
    plan.size = random.LogSize(9, 12);
  } else {
    const char* part = random.Pick(kInterfaceParts);
    plan.folder = std::string("data\\interface\\") + part;
    SetStyle(&plan, WORDS, 1, 2);
    plan.extension = std::strcmp(part, "layouts") == 0 ? ".xml"
                     : std::strcmp(part, "fonts") == 0 ? ".fnt"
                                                       : ".dds";
    plan.content = std::strcmp(part, "layouts") == 0 ? TEXT : PATTERN;
    plan.size = random.LogSize(8, 12);
  }
  return plan;
}

// The few large files game data always has, and some of the odd sizes that
// catch mistakes in copying by pieces.
std::vector<Plan> Specials() {
  struct Special {
    const char* folder;
    const char* stem;
    const char* extension;
    Content content;
    std::uint32_t size;
  };
  static const Special kSpecials[] = {
      {"sounds\\music", "main_theme", ".ogg", NOISE, 812345},
      {"sounds\\music", "battle_northlands", ".ogg", NOISE, 655360},
      {"sounds\\music", "harbour_evening", ".ogg", NOISE, 498713},
      {"sounds\\music", "credits", ".ogg", NOISE, 377001},
      {"maps\\northlands\\terrain", "heightmap", ".raw", PATTERN, 524288},
      {"maps\\capital\\terrain", "heightmap", ".raw", PATTERN, 524288},
      {"maps\\desert\\terrain", "heightmap", ".raw", PATTERN, 262144},
      {"data\\textures\\sky", "skybox_day", ".dds", PATTERN, 393344},
      {"data\\textures\\sky", "skybox_night", ".dds", PATTERN, 393344},
      {"data\\textures\\interface", "loading_screen", ".tga", PATTERN, 307218},
      {"data\\video", "intro", ".bik", NOISE, 734003},
      {"scripts\\quests", "placeholder", ".lua", TEXT, 0},
      {"scripts\\events", "unused_trigger", ".lua", TEXT, 0},
      {"maps\\winter\\spawns", "empty_wave", ".spn", TEXT, 0},
      {"localization\\german\\journal", "todo", ".txt", TEXT, 0},
      {"data\\interface\\cursors", "blank", ".cur", PATTERN, 0},
      {"scripts\\world", "version", ".cfg", TEXT, 1},
      {"data\\models\\props\\collision", "pebble", ".col", RECORDS, 511},
      {"data\\models\\props\\collision", "cobble", ".col", RECORDS, 512},
      {"data\\models\\props\\collision", "boulder", ".col", RECORDS, 513},
      {"scripts\\ai", "idle", ".lua", TEXT, 1000},
      {"data\\textures\\effects\\common", "flare_mask", ".dds", PATTERN, 65536},
      {"", "readme_patch", ".txt", TEXT, 2417},
      {"", "game", ".ini", TEXT, 1533},
  };
  std::vector<Plan> plans;
  for (const Special& special : kSpecials) {
    plans.push_back(Plan{special.folder, FIXED, 0, 0, special.stem, special.extension,
                         special.content, special.size, true});
  }
  return plans;
}

std::size_t LengthOf(const Plan& plan) {
  return (plan.folder.empty() ? 0 : plan.folder.size() + 1) + plan.stem.size() +
         plan.extension.size();
}

std::string NameOf(const Plan& plan) {
  return (plan.folder.empty() ? "" : plan.folder + '\\') + plan.stem + plan.extension;
}

bool AllComponentsLegal(const std::string& name) {
  std::size_t begin = 0;
  for (;;) {
    std::size_t end = name.find('\\', begin);
    if (!ComponentProblem(name.substr(begin, end - begin)).empty()) return false;
    if (end == std::string::npos) return true;
    begin = end + 1;
  }
}

// Windows compares names ignoring case; game data keeps them unique that way.
bool Take(const Plan& plan, std::set<std::string>* taken) {
  std::string name = NameOf(plan);
  return AllComponentsLegal(name) && taken->insert(AsciiNames().Fold(name)).second;
}

std::uint64_t Distance(std::uint64_t a, std::uint64_t b) { return a > b ? a - b : b - a; }

std::vector<Plan> PlanNames() {
  Random random(0x4F7276616E746973u);
  std::vector<Plan> plans = Specials();
  while (plans.size() < kFiles) plans.push_back(Ordinary(random));

  std::set<std::string> taken;
  std::uint64_t total = 0;
  for (Plan& plan : plans) {
    do {
      plan.stem = MakeStem(plan, random);
    } while (LengthOf(plan) > kLongestName || !Take(plan, &taken));
    total += LengthOf(plan);
  }
  // One name is as long as the longest in the shipped archive.
  Plan& longest = plans[plans.size() / 2];
  taken.erase(AsciiNames().Fold(NameOf(longest)));
  total -= LengthOf(longest);
  longest.folder = "data\\textures\\architecture\\catacombs";
  longest.extension = ".dds";
  SetStyle(&longest, TEXTURE, 3, 4);
  do {
    longest.stem = MakeStem(longest, random);
  } while (LengthOf(longest) != kLongestName || !Take(longest, &taken));
  longest.style = FIXED;
  total += kLongestName;

  // Reach the shipped total by trading stems for others of the same kind that
  // bring the sum closer, so every name stays one a person could have given.
  const int kCandidates = 8;
  while (total != kNameCharacters) {
    for (std::size_t step = 0; step < plans.size() && total != kNameCharacters; ++step) {
      Plan& plan = plans[std::uint64_t{step} * 2654435761u % plans.size()];
      if (plan.style == FIXED) continue;
      Plan best = plan;
      std::uint64_t rest = total - LengthOf(plan);
      for (int i = 0; i < kCandidates; ++i) {
        Plan candidate = plan;
        candidate.stem = MakeStem(plan, random);
        std::uint64_t length = LengthOf(candidate);
        if (length <= kLongestName &&
            Distance(rest + length, kNameCharacters) <
                Distance(rest + LengthOf(best), kNameCharacters) &&
            taken.count(AsciiNames().Fold(NameOf(candidate))) == 0 &&
            AllComponentsLegal(NameOf(candidate))) {
          best = candidate;
        }
      }
      if (best.stem != plan.stem) {
        taken.erase(AsciiNames().Fold(NameOf(plan)));
        taken.insert(AsciiNames().Fold(NameOf(best)));
        total = rest + LengthOf(best);
        plan = best;
      }
    }
  }
  return plans;
}

void FitSizes(std::vector<Plan>* plans) {
  std::uint64_t fixed = 0;
  std::uint64_t free = 0;
  for (const Plan& plan : *plans) (plan.fixedSize ? fixed : free) += plan.size;
  std::uint64_t wanted = kDataBytes - fixed;
  std::uint64_t total = fixed;
  Plan* largest = nullptr;
  for (Plan& plan : *plans) {
    if (plan.fixedSize) continue;
    plan.size = static_cast<std::uint32_t>(std::max<std::uint64_t>(1, plan.size * wanted / free));
    total += plan.size;
    if (largest == nullptr || plan.size > largest->size) largest = &plan;
  }
  // Rounding leaves a few bytes over or short: the largest file takes them.
  largest->size = static_cast<std::uint32_t>(largest->size + kDataBytes - total);
}

void AppendText(std::string* text, Random& random) {
  switch (random.Below(4)) {
    case 0:
      *text += Concat({random.Pick(kVerbs), "(\"", random.Pick(kWords), "_",
                       std::to_string(random.Below(64)), "\", ", std::to_string(random.Below(4096)),
                       ", ", std::to_string(random.Below(4096)), ")\n"});
      break;
    case 1:
      *text += Concat({random.Pick(kWords), "_", random.Pick(kModifiers), " = ",
                       std::to_string(random.Below(1000)), "\n"});
      break;
    case 2:
      *text += Concat({"-- the ", random.Pick(kModifiers), " ", random.Pick(kWords), " of the ",
                       random.Pick(kRegions), "\n"});
      break;
    default:
      *text += Concat({"if ", random.Pick(kWords), ".state == ", std::to_string(random.Below(8)),
                       " then ", random.Pick(kVerbs), "(", random.Pick(kWords), ") end\n"});
      break;
  }
}

// A file's bytes: text, image-like rows that change a little from one to the
// next, random bytes, or fixed-size records mixing both.
std::vector<unsigned char> Contents(const Plan& plan, std::uint64_t size, std::uint64_t seed) {
  Random random(seed);
  std::vector<unsigned char> bytes;
  bytes.reserve(size);
  switch (plan.content) {
    case TEXT: {
      std::string text = "-- " + NameOf(plan) + "\n";
      while (text.size() < size) AppendText(&text, random);
      bytes.assign(text.begin(), text.begin() + static_cast<std::ptrdiff_t>(size));
      break;
    }
    case PATTERN: {
      std::vector<unsigned char> row(64 + random.Below(192));
      for (unsigned char& c : row) c = static_cast<unsigned char>(random.Next());
      while (bytes.size() < size) {
        for (int changes = random.Below(6); changes > 0; --changes) {
          std::uint32_t at = random.Below(static_cast<std::uint32_t>(row.size()));
          row[at] = static_cast<unsigned char>(random.Next());
        }
        bytes.insert(bytes.end(), row.begin(), row.end());
      }
      bytes.resize(size);
      break;
    }
    case NOISE:
      while (bytes.size() < size) {
        std::uint64_t value = random.Next();
        for (int i = 0; i < 8; ++i) bytes.push_back(static_cast<unsigned char>(value >> (8 * i)));
      }
      bytes.resize(size);
      break;
    case RECORDS: {
      std::uint32_t index = 0;
      while (bytes.size() < size) {
        std::uint64_t value = random.Next();
        for (int i = 0; i < 12; ++i) bytes.push_back(static_cast<unsigned char>(value >> (5 * i)));
        for (int i = 0; i < 4; ++i) bytes.push_back(static_cast<unsigned char>(index >> (8 * i)));
        for (int i = 0; i < 16; ++i) bytes.push_back(static_cast<unsigned char>(i < 4 ? 1 : 0));
        ++index;
      }
      bytes.resize(size);
      break;
    }
  }
  return bytes;
}

bool WriteFile(const fs::path& path, const std::vector<unsigned char>& bytes) {
  std::FILE* file = OpenFile(path, "wb");
  if (file == nullptr) {
    std::fprintf(stderr, "sample-payload: %s: cannot create it: %s\n", PathText(path).c_str(),
                 ErrnoText(errno).c_str());
    return false;
  }
  bool written = bytes.empty() || std::fwrite(bytes.data(), 1, bytes.size(), file) == bytes.size();
  if (std::fclose(file) != 0) written = false;
  if (!written) {
    std::fprintf(stderr, "sample-payload: %s: cannot write it: %s\n", PathText(path).c_str(),
                 ErrnoText(errno).c_str());
  }
  return written;
}

int Usage(const char* reason) {
  std::fprintf(stderr, "sample-payload: %s (see 'sample-payload --help')\n", reason);
  return kUsageExit;
}

}  // namespace

int main(int argc, char** argv) {
  std::string scaleText = "1";
  Arguments operands;
  Parsed parsed =
      ParseArguments(Arguments(argv + 1, argv + argc), 1, 1, &operands, {{"--scale", &scaleText}});
  switch (parsed.outcome) {
    case ParseOutcome::kOperands:
      break;
    case ParseOutcome::kHelp:
      std::fputs(kHelp, stdout);
      return 0;
    case ParseOutcome::kMissingValue:
      return Usage("--scale needs a number");
    case ParseOutcome::kUnknownOption:
      return Usage(("unknown option " + Printable(parsed.option)).c_str());
    case ParseOutcome::kTooFew:
      return Usage("no folder given");
    case ParseOutcome::kTooMany:
      return Usage("too many arguments");
  }
  char* end = nullptr;
  std::uint64_t scale = std::strtoull(scaleText.c_str(), &end, 10);
  // Each file must stay under 4 GiB.
  if (*end != '\0' || scale < 1 || scale > 4000) return Usage("--scale takes 1 to 4000");
  const std::string& folder = operands[0];

  fs::path root(folder);
  std::error_code error;
  if (fs::exists(root, error) && !fs::is_empty(root, error)) {
    std::fprintf(stderr, "sample-payload: %s: not empty\n", PathText(root).c_str());
    return 1;
  }
  try {
    std::vector<Plan> plans = PlanNames();
    FitSizes(&plans);
    for (std::size_t i = 0; i < plans.size(); ++i) {
      const Plan& plan = plans[i];
      std::string relative = NameOf(plan);
      std::replace(relative.begin(), relative.end(), '\\', '/');
      fs::path path = root / relative;
      fs::create_directories(path.parent_path(), error);
      if (error) {
        std::fprintf(stderr, "sample-payload: %s: cannot create the folder: %s\n",
                     PathText(path.parent_path()).c_str(), error.message().c_str());
        return 1;
      }
      std::uint64_t seed = 0x5EEDF11E5u + i * 0x9E3779B97F4A7C15u;
      if (!WriteFile(path, Contents(plan, plan.size * scale, seed))) return 1;
    }
  } catch (const std::exception& failure) {
    std::fprintf(stderr, "sample-payload: %s\n", failure.what());
    return 1;
  }
  return 0;
}
