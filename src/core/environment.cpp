#include "core/environment.h"

#include <cstdlib>
#include <cstring>

#include "core/launcher_config.h"
#include "core/placeholders.h"
#include "platform/platform.h"
#include "report/report.h"
#include "report/trace.h"

namespace {

bool isNameCharacter(char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_';
}

}  // namespace

const char* environmentPairProblem(const char* pair) {
    const char* equals = std::strchr(pair, '=');
    if (equals == nullptr) return "it has no '='";
    if (equals == pair) return "its name is empty";
    if (*pair >= '0' && *pair <= '9') return "its name begins with a digit";
    for (const char* p = pair; p != equals; ++p)
        if (!isNameCharacter(*p)) return "its name holds other characters than letters, digits and _";
    return "";
}

void applyEnvironment() {
    ArgumentVector pairs = splitArguments(Config.Environment);
    for (int32_t i = 0; i < pairs.count; ++i) {
        const char* pair = pairs.items[i];
        if (pair[0] == '\0') continue;  // two blanks in a row
        const char* problem = environmentPairProblem(pair);
        if (problem[0] != '\0') {
            reportError("Refused: the environment pair \"%s\" is no NAME=value pair: %s.", pair, problem);
            continue;
        }
        const size_t nameLength = static_cast<size_t>(std::strchr(pair, '=') - pair);
        char* name = duplicateTextRange(pair, nameLength);
        char* value = expandPlaceholders(pair + nameLength + 1);  // null: refused and reported
        if (value != nullptr && traceOn()) {
            traceEnvironmentValue(name, nameLength, value);
            if (value[0] == '\0')
                trace("environment: %s removed", name);
            else
                trace("environment: %s = \"%s\"", name, value);
        }
        if (value != nullptr && !platform::setEnvironmentVariable(name, value[0] != '\0' ? value : nullptr))
            reportErrorWithReason("Cannot set the environment variable %s.", name);
        std::free(value);
        std::free(name);
    }
    freeArgumentVector(&pairs);
}

void hideEnvironmentValues(const char* pairs) {
    if (!traceOn()) return;
    ArgumentVector split = splitArguments(pairs);
    for (int32_t i = 0; i < split.count; ++i) {
        const char* equals = std::strchr(split.items[i], '=');
        if (equals != nullptr)
            traceEnvironmentValue(split.items[i], static_cast<size_t>(equals - split.items[i]), equals + 1);
    }
    freeArgumentVector(&split);
}
