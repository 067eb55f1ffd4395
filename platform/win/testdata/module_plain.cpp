// A module without ordinals or resources of its own that links one that
// has both: lookups on it must not find its dependency's.
extern "C" int TestAdd(int a, int b);

extern "C" int PlainEntry() {
  return TestAdd(1, 2);
}
