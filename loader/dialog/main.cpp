#include "dialog/loader_app.h"

int main(int argc, char **argv) {
    vortlink::loader::LoaderApp application;
    return application.run(argc, argv);
}
