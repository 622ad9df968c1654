// A paired natives header: accepted.
#pragma once
