// Replays a fuzz target's inputs without libFuzzer: runs LLVMFuzzerTestOneInput
// over every file named on the command line and every file inside the folders
// named there, in name order, each in a heap block of exactly its size.
//
// Exits 0 after at least one input; 1 when an argument cannot be read or no input
// was found. A failing input aborts inside the target, as it does under libFuzzer.
#include <dirent.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

namespace {

bool isDirectory(const std::string& path) {
  struct stat s;
  return stat(path.c_str(), &s) == 0 && S_ISDIR(s.st_mode);
}

// The regular files directly inside folder, sorted; false when it cannot be read.
bool listFiles(const std::string& folder, std::vector<std::string>* files) {
  DIR* dir = opendir(folder.c_str());
  if (!dir) return false;
  std::vector<std::string> names;
  while (dirent* entry = readdir(dir)) {
    std::string path = folder + "/" + entry->d_name;
    struct stat s;
    if (entry->d_name[0] != '.' && stat(path.c_str(), &s) == 0 && S_ISREG(s.st_mode)) names.push_back(path);
  }
  closedir(dir);
  std::sort(names.begin(), names.end());
  files->insert(files->end(), names.begin(), names.end());
  return true;
}

bool readFile(const std::string& path, std::vector<uint8_t>* bytes) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return false;
  bytes->assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  return !in.bad();
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::string> files;
  for (int i = 1; i < argc; i++) {
    std::string path = argv[i];
    if (isDirectory(path)) {
      if (!listFiles(path, &files)) {
        fprintf(stderr, "cannot read folder %s\n", path.c_str());
        return 1;
      }
    } else {
      files.push_back(path);
    }
  }
  int replayed = 0;
  for (const std::string& path : files) {
    std::vector<uint8_t> bytes;
    if (!readFile(path, &bytes)) {
      fprintf(stderr, "cannot read %s\n", path.c_str());
      return 1;
    }
    // A copy of exactly the input's size, so that a read past its end is caught.
    uint8_t* block = static_cast<uint8_t*>(malloc(bytes.empty() ? 1 : bytes.size()));
    if (!block) return 1;
    if (!bytes.empty()) memcpy(block, bytes.data(), bytes.size());
    LLVMFuzzerTestOneInput(block, bytes.size());
    free(block);
    replayed++;
  }
  if (replayed == 0) {
    fprintf(stderr, "no input found\n");
    return 1;
  }
  printf("%d inputs replayed\n", replayed);
  return 0;
}
