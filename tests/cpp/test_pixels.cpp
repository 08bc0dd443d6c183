// placeholder, filled below
int main() { return 0; }
