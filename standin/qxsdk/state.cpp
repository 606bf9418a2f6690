// The one instance of the state and of what survives a reset (see state.hpp).
#include "state.hpp"

namespace standin {

std::mutex mu;
State st;
unsigned long long resets = 0;
int depth = 0;
bool stop_requested = false;
bool draining = false;
std::vector<std::unique_ptr<char[]>> held;
std::map<std::string, std::unique_ptr<char[]>, std::less<>> texts;

}  // namespace standin
