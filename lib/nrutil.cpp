// Row-pointer matrices and vectors: one zero-filled block for the line
// pointers, one zero-filled block per line. All sizes are computed in size_t,
// so a matrix of more than 2^31 elements works wherever memory allows.
#include "nrutil.h"

#include <cstdlib>

namespace {

template <typename T>
void release_matrix(T **Mat, int NbLig)
{
    if (Mat == nullptr)
        return;
    for (int l = 0; l < NbLig; l++)
        std::free(Mat[l]);
    std::free(Mat);
}

template <typename T>
T **new_matrix(int NbCol, int NbLig)
{
    if (NbCol <= 0 || NbLig <= 0)
        return nullptr;
    T **Mat = static_cast<T **>(std::calloc(static_cast<size_t>(NbLig), sizeof(T *)));
    if (Mat == nullptr)
        return nullptr;
    for (int l = 0; l < NbLig; l++) {
        Mat[l] = static_cast<T *>(std::calloc(static_cast<size_t>(NbCol), sizeof(T)));
        if (Mat[l] == nullptr) {
            release_matrix(Mat, l);
            return nullptr;
        }
    }
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
