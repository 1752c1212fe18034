// A release that never comes up: a signed program of the right version that ends at once without a window, for the
// update road's put-back.
int main() { return 0; }
