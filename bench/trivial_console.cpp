// A program that does nothing: what a process costs before it does any work.
int main() { return 0; }
