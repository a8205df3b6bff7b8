// Row-pointer matrices and vectors: one zero-filled block for the line
// pointers, one zero-filled block that the lines are cut from. All sizes are
// computed in size_t, so a matrix of more than 2^31 elements works wherever
// memory allows.
#include "nrutil.h"

#include <cstdint>
#include <cstdlib>

namespace {

template <typename T>
void release_matrix(T **Mat, int NbLig)
{
    if (Mat == nullptr)
        return;
    if (NbLig > 0)
        std::free(Mat[0]); // the block that holds every line
    std::free(Mat);
}

template <typename T>
T **new_matrix(int NbCol, int NbLig)
{
    if (NbCol <= 0 || NbLig <= 0)
        return nullptr;
    const size_t lines = static_cast<size_t>(NbLig), cols = static_cast<size_t>(NbCol);
    if (cols > SIZE_MAX / sizeof(T) / lines)
        return nullptr;
    T **Mat = static_cast<T **>(std::calloc(lines, sizeof(T *)));
    if (Mat == nullptr)
        return nullptr;
    // One zero-filled block for all the lines: a large one comes straight
    // from the system, whose fresh pages are zero already and are first
    // touched by the stage that fills them, not by a zeroing of its own.
    T *block = static_cast<T *>(std::calloc(lines * cols, sizeof(T)));
    if (block == nullptr) {
        std::free(Mat);
        return nullptr;
    }
    for (size_t l = 0; l < lines; l++)
        Mat[l] = block + l * cols;
    return Mat;
}

template <typename T>
T *new_vector(int NbCol)
{
    if (NbCol <= 0)
        return nullptr;
    return static_cast<T *>(std::calloc(static_cast<size_t>(NbCol), sizeof(T)));
}

} // namespace

float **fmatrice(int NbCol, int NbLig)
{
    return new_matrix<float>(NbCol, NbLig);
}
unsigned char **ucmatrice(int NbCol, int NbLig)
{
    return new_matrix<unsigned char>(NbCol, NbLig);
}
unsigned short **usmatrice(int NbCol, int NbLig)
{
    return new_matrix<unsigned short>(NbCol, NbLig);
}
short **smatrice(int NbCol, int NbLig)
{
    return new_matrix<short>(NbCol, NbLig);
}
int **imatrice(int NbCol, int NbLig)
{
    return new_matrix<int>(NbCol, NbLig);
}
double **dmatrice(int NbCol, int NbLig)
{
    return new_matrix<double>(NbCol, NbLig);
}
long double **ldmatrice(int NbCol, int NbLig)
{
    return new_matrix<long double>(NbCol, NbLig);
}

void frfmatrice(float **Mat, int NbLig)
{
    release_matrix(Mat, NbLig);
}
void frucmatrice(unsigned char **Mat, int NbLig)
{
    release_matrix(Mat, NbLig);
}
void frusmatrice(unsigned short **Mat, int NbLig)
{
    release_matrix(Mat, NbLig);
}
void frsmatrice(short **Mat, int NbLig)
{
    release_matrix(Mat, NbLig);
}
void frimatrice(int **Mat, int NbLig)
{
    release_matrix(Mat, NbLig);
}
void frdmatrice(double **Mat, int NbLig)
{
    release_matrix(Mat, NbLig);
}
void frldmatrice(long double **Mat, int NbLig)
{
    release_matrix(Mat, NbLig);
}

unsigned char *ucvecteur(int NbCol)
{
    return new_vector<unsigned char>(NbCol);
}
unsigned short *usvecteur(int NbCol)
{
    return new_vector<unsigned short>(NbCol);
}
short *svecteur(int NbCol)
{
    return new_vector<short>(NbCol);
}
int *ivecteur(int NbCol)
{
    return new_vector<int>(NbCol);
}
double *dvecteur(int NbCol)
{
    return new_vector<double>(NbCol);
}

void frucvecteur(unsigned char *Mat)
{
    std::free(Mat);
}
void frusvecteur(unsigned short *Mat)
{
    std::free(Mat);
}
void frsvecteur(short *Mat)
{
    std::free(Mat);
}
void frivecteur(int *Mat)
{
    std::free(Mat);
}
void frdvecteur(double *Mat)
{
    std::free(Mat);
}
