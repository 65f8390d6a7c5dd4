// The Environment setting: NAME=value pairs that a launch sets in its own
// environment before the runtime search, so that the search (JAVA_HOME), the
// VM and the application all see them.
#pragma once

// Why one pair of the setting, as split, is no NAME=value pair: "" when it
// is one (NAME of letters, digits and '_', not beginning with a digit). The
// packer refuses what the launcher would refuse.
const char* environmentPairProblem(const char* pair);
// Sets the pairs of Environment in order, each value expanded once the pairs
// before it are set; an empty value removes the variable. A pair that is no
// NAME=value pair, or that cannot be set, is reported and left out. The trace
// names each variable, its value hidden as other environment values are.
void applyEnvironment();
// From now on the trace hides the values of the pairs in this text (as they
// are written, before expansion): the settings' own lines show them.
void hideEnvironmentValues(const char* pairs);
