// A module with an ordinal table, and a function it does not list.
extern "C" {

int TestValue = 42;

int TestAdd(int a, int b) {
  return a + b;
}

const char* TestName() {
  return "module_exports";
}

int TestNext() {
  return 6;
}

// Defined with C linkage but not in the export list: not visible.
int TestHidden() {
  return -1;
}
}
