// Row-pointer matrices and vectors of numbers.
//
// A matrix of NbLig lines by NbCol columns is an array of NbLig line
// pointers, each to a line of NbCol zero-filled elements; it is addressed as
// Mat[line][column], line 0 first. Users go through the line pointers and
// never assume where one line stands from another. Note the argument order
// of the allocators: the column count comes first, the line count second.
//
// Contract: an allocator returns zero-filled storage or null. Null means the
// memory was refused, or a count was 0 or negative (a block of zero bytes
// counts as refused). Nothing is printed, nothing ends the program. A matrix
// does not remember its size: the caller passes the line count again to the
// releasing twin (prefix "fr"). A failed allocation releases what it had
// already obtained.
#ifndef QUARVELIN_NRUTIL_H
#define QUARVELIN_NRUTIL_H

float **fmatrice(int NbCol, int NbLig);
unsigned char **ucmatrice(int NbCol, int NbLig);
unsigned short **usmatrice(int NbCol, int NbLig);
short **smatrice(int NbCol, int NbLig);
int **imatrice(int NbCol, int NbLig);
double **dmatrice(int NbCol, int NbLig);
long double **ldmatrice(int NbCol, int NbLig);

void frfmatrice(float **Mat, int NbLig);
void frucmatrice(unsigned char **Mat, int NbLig);
void frusmatrice(unsigned short **Mat, int NbLig);
void frsmatrice(short **Mat, int NbLig);
void frimatrice(int **Mat, int NbLig);
void frdmatrice(double **Mat, int NbLig);
void frldmatrice(long double **Mat, int NbLig);

unsigned char *ucvecteur(int NbCol);
unsigned short *usvecteur(int NbCol);
short *svecteur(int NbCol);
int *ivecteur(int NbCol);
double *dvecteur(int NbCol);

void frucvecteur(unsigned char *Mat);
void frusvecteur(unsigned short *Mat);
void frsvecteur(short *Mat);
void frivecteur(int *Mat);
void frdvecteur(double *Mat);

#endif
