// A natives header whose definitions live under other names: rejected.
#pragma once
