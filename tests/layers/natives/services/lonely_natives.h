// Natives declared with nowhere named to define them: the layer check must
// reject this tree.
#pragma once
