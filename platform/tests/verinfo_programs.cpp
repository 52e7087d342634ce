// A program that does nothing: it is built twice, once with a version block
// of another language and once with none, for the version section tests.
int main() { return 0; }
